// Runs one of the program's services in a process of its own, for the tests:
//   app_probe crash REPORT_FILE      crash filter installed as the program
//                                    installs it, a worker thread
//                                    writes its id to REPORT_FILE and faults
//   app_probe throw REPORT_FILE      the same, but the worker thread throws a
//                                    C++ exception that nothing catches
//   app_probe shortcut create NAME   desktop shortcut to this program
//   app_probe shortcut delete NAME
//   app_probe window STEPS REPORT_FILE [STOP_TIMEOUT_MS]
//                                    the whole program with a document double
//                                    playing the page; see WindowProbe.h
//   app_probe load DLL open|restricted
//                                    loads DLL by name, after restricting the
//                                    DLL search as the program does or not;
//                                    exit code 10 when it came from this
//                                    program's folder, 11 from elsewhere,
//                                    12 not loaded, 13 not restricted
// Reports go to the analytics sink whose port is in BC_SINK_PORT.
#include "app/CrashDump.h"
#include "app/DesktopShortcut.h"
#include "app/DllSearch.h"
#include "tests/app/WindowProbe.h"

#include <windows.h>

#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>

namespace {

ServiceEndpoint SinkEndpoint() {
    wchar_t port[16] = {};
    GetEnvironmentVariableW(L"BC_SINK_PORT", port, 16);
    return ServiceEndpoint{L"127.0.0.1", static_cast<unsigned short>(_wtoi(port)), 10000, 30000};
}

void WriteThreadId(const wchar_t* reportFile) {
    const std::string id = std::to_string(GetCurrentThreadId());
    HANDLE file = CreateFileW(reportFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
        CloseHandle(file);
    }
}

DWORD WINAPI FaultingThread(void* parameter) {
    WriteThreadId(static_cast<const wchar_t*>(parameter));
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}

void Throw(const wchar_t* reportFile) {
    WriteThreadId(reportFile);
    throw std::runtime_error("nobody catches this");
}

DWORD WINAPI ThrowingThread(void* parameter) {
    Throw(static_cast<const wchar_t*>(parameter));
    return 0;
}

int Crash(const wchar_t* reportFile, bool throwing) {
    InstallCrashFilter(SinkEndpoint());
    HANDLE thread = CreateThread(nullptr, 0, throwing ? ThrowingThread : FaultingThread,
                                 const_cast<wchar_t*>(reportFile), 0, nullptr);
    if (!thread) {
        return 2;
    }
    // The fault ends the process; getting past this wait means it did not.
    WaitForSingleObject(thread, 60000);
    CloseHandle(thread);
    return 3;
}

int Shortcut(const std::wstring& action, const std::wstring& name) {
    if (FAILED(CoInitialize(nullptr))) {
        return 2;
    }
    UpdateDesktopShortcut(name, action == L"create");
    CoUninitialize();
    return 0;
}

// The folder part of a module's file name, ending in a backslash.
std::wstring ModuleFolder(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring folder(path, length < MAX_PATH ? length : 0);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

int Load(const std::wstring& dll, bool restricted) {
    if (restricted && !RestrictDllSearch()) {
        return 13;
    }
    const HMODULE module = LoadLibraryW(dll.c_str());
    if (!module) {
        return 12;
    }
    const std::wstring from = ModuleFolder(module);
    return !from.empty() && lstrcmpiW(from.c_str(), ModuleFolder(nullptr).c_str()) == 0 ? 10 : 11;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if ((command == L"crash" || command == L"throw") && argc == 3) {
        return Crash(argv[2], command == L"throw");
    }
    if (command == L"window" && (argc == 4 || argc == 5)) {
        const DWORD stopTimeoutMs = argc == 5 ? static_cast<DWORD>(_wtoi(argv[4])) : 0;
        return RunProgramWithDocumentDouble(argv[2], argv[3], stopTimeoutMs);
    }
    if (command == L"shortcut" && argc == 4) {
        return Shortcut(argv[2], argv[3]);
    }
    if (command == L"load" && argc == 4) {
        return Load(argv[2], std::wstring(argv[3]) == L"restricted");
    }
    fwprintf(stderr, L"app_probe: unknown command\n");
    return 1;
}
