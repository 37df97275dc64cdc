#pragma once

// Limits where LoadLibrary looks for a DLL named without a path to the system
// folder, so that a DLL planted beside the program (which runs elevated from
// wherever it was saved) is never loaded. Called before anything loads a DLL
// on demand; the DLLs that are not KnownDLLs are delay-loaded for this.
// Uses SetDefaultDllDirectories where the system has it (Windows 8, and
// Windows 7 with its update), otherwise removes the current folder from the
// search with SetDllDirectory(""). Returns false when neither took effect.
bool RestrictDllSearch();
