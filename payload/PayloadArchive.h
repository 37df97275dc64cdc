#pragma once

#include "base/LogFile.h"

#include <windows.h>

#include <string>
#include <vector>

// The pages travel as an archive at the end of the program's own file. The
// last 4 bytes of the file hold the absolute offset of the first record; each
// record is this header followed by `sizeLow` bytes of file data; a header
// whose first name unit is 0 ends the archive. All integers little-endian.
#pragma pack(push, 1)
struct PayloadRecordHeader {
    // Path relative to the unpacking folder, backslash-separated, NUL-padded.
    wchar_t name[260];
    DWORD sizeLow;
    // Must be 0: no record holds 4 GiB or more.
    DWORD sizeHigh;
};
#pragma pack(pop)
static_assert(sizeof(PayloadRecordHeader) == 528, "the record header is 528 bytes on disk");

// True when `name` (NUL-terminated, shorter than 260 units) is a plain
// relative name (IsSafeRelativeName of base/SafeNames.h): backslash-separated,
// no segment that starts or ends with a dot or a blank, no drive, stream or
// device names, no characters that Windows would change or refuse.
bool IsSafeRecordName(const wchar_t* name);

// The language codes listed under the key "LANG" of the install parameters
// script, in file order: the quoted strings from the 7th character after the
// start of the quoted key up to the first "]" (an unfinished string is
// dropped). Empty when the key is missing.
std::vector<std::wstring> ScanLanguageList(const std::wstring& text);

// "<base>/license/<product>/<language>/Eula.html".
std::wstring LicenseUrl(const std::wstring& serverUrl, const std::wstring& productId,
                        const std::wstring& languageCode);

// Largest "js\installparams.js" that ReadLanguageList reads (1 MiB); the
// shipped script is a few hundred bytes.
constexpr unsigned long kMaxInstallParamsBytes = 1ul << 20;

// Base URL of the licence download server, fixed at build time.
extern const wchar_t kLicenseServerUrl[];

// Unpacks the program's pages into a new private folder under the user's
// temporary folder at construction and deletes that folder at destruction.
// Every failure is logged and leaves `isLoaded` false; nothing is thrown.
class PayloadArchive {
public:
    explicit PayloadArchive(LogFile& log);
    ~PayloadArchive();

    PayloadArchive(const PayloadArchive&) = delete;
    PayloadArchive& operator=(const PayloadArchive&) = delete;

    // Unpacks every record of the archive at the end of the program's own file
    // into `folder`; true only when all records were written and the end
    // header was reached. Files written before a failure stay.
    bool LoadFromOwnFile(const std::wstring& folder);
    // The same for the archive at the end of the file `path`.
    bool LoadFromFile(const std::wstring& path, const std::wstring& folder);

    // Writes one record under `folder`, creating missing sub-folders. Unsafe
    // names, and names whose full path does not lie inside the folder, are
    // refused.
    bool WriteArchiveEntry(const PayloadRecordHeader& header, const void* data,
                           const std::wstring& folder);

    // The page languages from "js\installparams.js" in the unpacked folder;
    // empty when the folder, the file or the key is missing, or when the file
    // is larger than kMaxInstallParamsBytes.
    std::vector<std::wstring> ReadLanguageList();

    // Makes "Eula.html" hold the licence for `languageCode`: the archive's
    // translation if there is one, replaced by the licence server's text when
    // it can be downloaded.
    void PrepareLicensePage(const std::wstring& productId, const std::wstring& languageCode);
    // The same against another server and with another time limit.
    void PrepareLicensePage(const std::wstring& productId, const std::wstring& languageCode,
                            const std::wstring& serverUrl, DWORD timeoutMs);

    // True once every record has been written to the folder.
    bool isLoaded;
    // The unpacking folder, ending in a backslash; empty when none was made.
    std::wstring temporaryFolder;
    // Where every message goes; not owned.
    LogFile& log;
};
