#include "tests/payload/PayloadTestSupport.h"

#include "base/TempFolders.h"

#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <regex>

namespace payloadtest {

std::string Le32(DWORD value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

std::string RecordHeader(const std::wstring& name, DWORD sizeLow, DWORD sizeHigh) {
    std::string header(520, '\0');
    for (size_t i = 0; i < name.size() && i < 260; ++i) {
        header[2 * i] = static_cast<char>(name[i] & 0xFF);
        header[2 * i + 1] = static_cast<char>((name[i] >> 8) & 0xFF);
    }
    return header + Le32(sizeLow) + Le32(sizeHigh);
}

std::string Record(const std::wstring& name, const std::string& data) {
    return RecordHeader(name, static_cast<DWORD>(data.size())) + data;
}

std::string Terminator() {
    return std::string(528, '\0');
}

std::string PageRecords() {
    std::string records;
    for (const auto& page : Pages()) {
        records += Record(page.first, page.second);
    }
    return records;
}

std::string AppendArchive(const std::string& program, const std::string& archive) {
    return program + archive + Le32(static_cast<DWORD>(program.size()));
}

namespace {

void ReadTreeInto(const std::wstring& folder, const std::wstring& prefix,
                  std::map<std::wstring, std::string>& files) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + prefix + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        // The users file of a folder the program made names its processes;
        // it is no page.
        if (name == L"." || name == L".." || (prefix.empty() && name == kFolderUsersFileName)) {
            continue;
        }
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ReadTreeInto(folder, prefix + name + L"\\", files);
        } else {
            files[prefix + name] = testutil::ReadFileBytes(folder + prefix + name);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

} // namespace

std::map<std::wstring, std::string> ReadTree(const std::wstring& folder) {
    std::map<std::wstring, std::string> files;
    ReadTreeInto(folder, L"", files);
    return files;
}

std::wstring PagesFolder() {
    std::wstring unixPath;
    for (const char* c = BC_TEST_PAGES_DIR; *c; ++c) {
        unixPath += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return testutil::UnixToWindowsPath(unixPath) + L"\\";
}

std::map<std::wstring, std::string> Pages() {
    return ReadTree(PagesFolder());
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

std::vector<std::string> LogMessages(const std::string& logBytes) {
    static const std::regex shape(R"(^\[\d{8} \d\d:\d\d:\d\d [ \d]{2}\d ([A-Z]+)\] (.*)$)");
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < logBytes.size()) {
        size_t end = logBytes.find("\r\n", start);
        if (end == std::string::npos) {
            end = logBytes.size();
        }
        const std::string line = logBytes.substr(start, end - start);
        std::smatch m;
        if (std::regex_match(line, m, shape)) {
            messages.push_back(m[1].str() + " " + m[2].str());
        } else {
            ADD_FAILURE() << "malformed log line: " << line;
        }
        start = end + 2;
    }
    return messages;
}

} // namespace payloadtest
