#include "app/CommandLine.h"

#include <windows.h>

#include <shellapi.h>

namespace {

// The switch's name without its "/" or "-", in lower case; empty when the
// argument is not a switch.
std::wstring SwitchName(const std::wstring& argument) {
    if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) {
        return std::wstring();
    }
    std::wstring name = argument.substr(1);
    for (wchar_t& c : name) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return name;
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& arguments) {
    CommandLine line;
    bool hasLog = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring name = SwitchName(arguments[i]);
        bool repeated = false;
        if (name == L"quiet") {
            repeated = line.quiet;
            line.quiet = true;
        } else if (name == L"norestart") {
            repeated = line.noRestart;
            line.noRestart = true;
        } else if (name == L"log" && i + 1 < arguments.size() && !arguments[i + 1].empty()) {
            repeated = hasLog;
            hasLog = true;
            line.logPath = arguments[++i];
        } else {
            return CommandLine();
        }
        if (repeated) {
            return CommandLine();
        }
    }
    if (!line.quiet) {
        return CommandLine();
    }
    return line;
}

std::vector<std::wstring> ProcessArguments() {
    std::vector<std::wstring> arguments;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!list) {
        return arguments;
    }
    for (int i = 1; i < count; ++i) {
        arguments.push_back(list[i]);
    }
    LocalFree(list);
    return arguments;
}
