#include "tests/app/AppTestSupport.h"

#include "base/ComPtr.h"
#include "base/Utf8.h"
#include "telemetry/ReportSender.h"
#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace apptest {

namespace {

std::wstring OwnFolder() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// Sets an environment variable for the life of the object.
void ListInto(const std::wstring& folder, const std::wstring& prefix,
              std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        out.push_back(prefix + name);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ListInto(folder + name + L"\\", prefix + name + L"\\", out);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

} // namespace

std::wstring SiblingProgram(const wchar_t* name) {
    return OwnFolder() + name;
}

std::wstring ShippedProgram() {
    return testutil::UnixToWindowsPath(Wide(BC_SHIPPED_PROGRAM));
}

ProcessRun RunProgram(const std::wstring& program, const std::wstring& arguments,
                      const std::wstring& temp, DWORD timeoutMs) {
    ProcessRun run;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    {
        testutil::TempFolderOverride temporary(temp);
        testutil::EnvOverride port(L"BC_SINK_PORT", std::to_wstring(SinkPort()));
        if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &process)) {
            ADD_FAILURE() << "cannot start " << Narrow(program) << ", error " << GetLastError();
            return run;
        }
    }
    run.started = true;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        run.finished = true;
        GetExitCodeProcess(process.hProcess, &run.exitCode);
    } else {
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 10000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

unsigned short SinkPort() {
    return BC_TEST_SINK_PORT;
}

size_t SinkRequestCount() {
    return sinktest::ReadSinkRequests().size();
}

std::vector<sinktest::SinkRequest> SinkRequestsSince(size_t before) {
    static int markers = 0;
    const std::string marker = "/marker/" + std::to_string(++markers);
    const ServiceEndpoint sink{L"127.0.0.1", SinkPort(), 10000, 30000};
    EXPECT_TRUE(SendToService("m", 1, Wide(marker), L"POST", sink)) << "the sink is not answering";
    std::vector<sinktest::SinkRequest> all;
    std::vector<sinktest::SinkRequest> since;
    const DWORD start = GetTickCount();
    for (;;) {
        all = sinktest::ReadSinkRequests();
        for (size_t n = before; n < all.size(); ++n) {
            if (all[n].path == marker) {
                since.assign(all.begin() + static_cast<long>(before),
                             all.begin() + static_cast<long>(n));
                return since;
            }
        }
        if (GetTickCount() - start > 30000) {
            ADD_FAILURE() << "the sink never recorded the marker";
            return since;
        }
        Sleep(20);
    }
}

std::vector<sinktest::SinkRequest> Only(const std::vector<sinktest::SinkRequest>& requests,
                                        const std::string& method, const std::string& path) {
    std::vector<sinktest::SinkRequest> chosen;
    for (const auto& request : requests) {
        if (request.method == method && (path.empty() || request.path == path)) {
            chosen.push_back(request);
        }
    }
    return chosen;
}

std::string ElementText(const std::string& document, const std::string& name) {
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const size_t start = document.find(open);
    if (start == std::string::npos) {
        return std::string();
    }
    const size_t end = document.find(close, start);
    if (end == std::string::npos) {
        return std::string();
    }
    return document.substr(start + open.size(), end - start - open.size());
}

std::vector<std::wstring> ListTree(const std::wstring& folder) {
    std::vector<std::wstring> entries;
    ListInto(folder, std::wstring(), entries);
    return entries;
}

std::wstring DesktopFolder() {
    wchar_t desktop[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop);
    std::wstring path = desktop;
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    return path;
}

ShellLinkInfo ReadShellLink(const std::wstring& link) {
    ShellLinkInfo info;
    ComPtr<IShellLinkW> shellLink;
    info.loaded =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&shellLink));
    if (FAILED(info.loaded)) {
        return info;
    }
    ComPtr<IPersistFile> file;
    info.loaded = shellLink.As(&file);
    if (FAILED(info.loaded)) {
        return info;
    }
    info.loaded = file->Load(link.c_str(), STGM_READ);
    if (FAILED(info.loaded)) {
        return info;
    }
    wchar_t buffer[MAX_PATH] = {};
    if (SUCCEEDED(shellLink->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH))) {
        info.target = buffer;
    }
    buffer[0] = L'\0';
    if (SUCCEEDED(shellLink->GetWorkingDirectory(buffer, MAX_PATH))) {
        info.workingDirectory = buffer;
    }
    buffer[0] = L'\0';
    if (SUCCEEDED(shellLink->GetArguments(buffer, MAX_PATH))) {
        info.arguments = buffer;
    }
    return info;
}

std::string Narrow(const std::wstring& text) {
    return ToUtf8(text);
}

std::wstring Wide(const std::string& utf8) {
    return FromUtf8(utf8.data(), utf8.size());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') {
            --stop;
        }
        lines.push_back(text.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

} // namespace apptest
