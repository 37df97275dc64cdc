#pragma once

// String table entries: the message shown when the program runs without
// administrator rights, and its caption. Shared by the resource script and
// the code, so it holds only preprocessor definitions.
#define IDS_PRIVILEGE_TEXT 102
#define IDS_PRIVILEGE_CAPTION 103
