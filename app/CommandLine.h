#pragma once

#include <string>
#include <vector>

// The program's command line: "/quiet [/log PATH] [/norestart]", switches in
// any case, with "-" as well as "/". Anything else, or no argument at all,
// is the window run.
struct CommandLine {
    bool quiet = false;
    // Where the quiet run's log is also written; empty for none.
    std::wstring logPath;
    bool noRestart = false;
};

// `arguments` without the program's own name. A quiet run needs "/quiet";
// a switch it does not know, a "/log" without its path or a switch given
// twice makes the whole line the window run's (which takes no arguments).
CommandLine ParseCommandLine(const std::vector<std::wstring>& arguments);

// The arguments of this process's command line, without the program's name.
std::vector<std::wstring> ProcessArguments();
