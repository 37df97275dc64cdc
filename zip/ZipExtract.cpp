#include "zip/ZipExtract.h"

#include "base/SafeNames.h"
#include "zip/EntryRanges.h"
#include "zip/WinFileIo.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <unzip.h>

#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <vector>

namespace zip {
namespace {

constexpr size_t kNameBytes = MAX_PATH - 1;
// Reads of compressed data and writes of unpacked data: large enough that
// a big entry takes few calls into the system, not so large that the
// reader's read-ahead window would serve them.
constexpr DWORD kChunk = 256 * 1024;
static_assert(kChunk >= WinFileStream::kWindowBytes, "data reads bypass the windows");

// DOS attribute bit of a folder, kept in the low byte of the external attributes.
constexpr uLong kDirectoryAttribute = 0x10;

bool IsDirectoryEntry(const char* name, const unz_file_info64& info) {
    const size_t length = strlen(name);
    if (length > 0 && name[length - 1] == '/') {
        return true;
    }
    return (info.external_fa & kDirectoryAttribute) != 0;
}

// Stored and deflated entries only. The reader hands over an entry of a
// method it cannot unpack (bzip2) as the raw bytes and skips its CRC check, so
// such an entry would be written as garbage and reported extracted.
bool IsSupportedMethod(uLong method) {
    return method == 0 || method == Z_DEFLATED;
}

// Writes the whole buffer, call after call (a call may write less than asked
// when the disk fills); the call that fails or writes nothing stops it and its
// error goes to the reporter.
bool WriteAll(HANDLE file, const char* bytes, DWORD size, ZipReporter* reporter) {
    DWORD done = 0;
    while (done < size) {
        DWORD wrote = 0;
        if (!WriteFile(file, bytes + done, size - done, &wrote, nullptr) || wrote == 0) {
            const DWORD error = GetLastError();
            if (reporter) {
                reporter->OnError(error);
            }
            return false;
        }
        done += wrote;
    }
    return true;
}

// A zip with no entries is only its end record; the reader cannot find that
// record at the very start of a file, so such a zip is recognised here.
bool IsEmptyZip(HANDLE zipFile, ULONGLONG size) {
    unsigned char record[22];
    OVERLAPPED at = {};
    DWORD got = 0;
    if (size < sizeof record || !ReadFile(zipFile, record, sizeof record, &got, &at) ||
        got != sizeof record) {
        return false;
    }
    auto word = [&](int offset) { return record[offset] | (record[offset + 1] << 8); };
    const bool endRecord = record[0] == 'P' && record[1] == 'K' && record[2] == 5 && record[3] == 6;
    return endRecord && word(8) == 0 && word(10) == 0 &&
           sizeof record + static_cast<ULONGLONG>(word(20)) == size;
}

// Buffers and the inflater of one extraction, shared by its entries: an
// archive of many small files would otherwise set up and free an inflater,
// with its window, for each.
struct EntryBuffers {
    EntryBuffers() = default;
    EntryBuffers(const EntryBuffers&) = delete;
    EntryBuffers& operator=(const EntryBuffers&) = delete;
    ~EntryBuffers() {
        if (inflating) {
            inflateEnd(&stream);
        }
    }
    // The inflater, ready for a new raw deflate stream and with no input;
    // false when it cannot be made. An entry may leave input unread past the
    // end of its stream, which is not the next entry's.
    bool ResetInflater() {
        if (inflating) {
            if (inflateReset(&stream) != Z_OK) {
                return false;
            }
        } else {
            stream = z_stream{};
            inflating = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
        }
        stream.next_in = Z_NULL;
        stream.avail_in = 0;
        return inflating;
    }

    std::vector<char> input = std::vector<char>(kChunk);
    std::vector<char> unpacked = std::vector<char>(kChunk);
    z_stream stream = {};
    bool inflating = false;
};

// Unpacks the entry whose compressed data starts at `data` in the zip into
// `out`. The compressed bytes are read here, in large reads, and deflated
// data is inflated here rather than by the reader, which stops at the
// declared size without a word: output past the declared size is never
// written and fails the entry, as does output that ends short of it or a CRC
// that does not match.
bool UnpackEntry(WinFileStream& zip, ZPOS64_T data, HANDLE out, const unz_file_info64& info,
                 EntryBuffers& buffers, ZipReporter* reporter) {
    const bool deflated = info.compression_method == Z_DEFLATED;
    z_stream local = {};
    if (deflated && !buffers.ResetInflater()) {
        return false;
    }
    z_stream& stream = deflated ? buffers.stream : local;
    const ZPOS64_T declared = info.uncompressed_size;
    ZPOS64_T written = 0;
    uLong crc = crc32(0, Z_NULL, 0);
    // Every unpacked byte goes through here; `written` never passes `declared`.
    auto emit = [&](const char* bytes, uInt count) {
        if (count > declared - written || !WriteAll(out, bytes, count, reporter)) {
            return false;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes), count);
        written += count;
        return true;
    };
    char* const input = buffers.input.data();
    char* const unpacked = buffers.unpacked.data();
    ZPOS64_T next = data;
    ZPOS64_T compressedLeft = info.compressed_size;
    bool inputEnded = false;
    bool ok = true;
    bool ended = false;
    // Each round takes in input (there is no more than the compressed size)
    // or writes output (no more than the declared size), or it ends.
    while (ok && !ended) {
        if (reporter && reporter->StopRequested()) {
            reporter->OnError(ERROR_CANCELLED);
            ok = false;
            break;
        }
        if (stream.avail_in == 0 && !inputEnded) {
            const uLong ask = static_cast<uLong>(std::min<ZPOS64_T>(kChunk, compressedLeft));
            if (ask > 0 && ReadAt(zip, next, input, ask) != ask) {
                ok = false;
                break;
            }
            next += ask;
            compressedLeft -= ask;
            inputEnded = ask == 0;
            stream.next_in = reinterpret_cast<Bytef*>(input);
            stream.avail_in = static_cast<uInt>(ask);
        }
        if (!deflated) {
            ok = emit(input, stream.avail_in);
            stream.avail_in = 0;
            ended = inputEnded;
            continue;
        }
        stream.next_out = reinterpret_cast<Bytef*>(unpacked);
        stream.avail_out = kChunk;
        const int status = inflate(&stream, Z_NO_FLUSH);
        const uInt produced = kChunk - stream.avail_out;
        // Input left and room to write, yet nothing moved: no round would.
        const bool stuck = status == Z_BUF_ERROR && produced == 0 && stream.avail_in > 0;
        if ((status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) || stuck) {
            ok = false;
            break;
        }
        ok = emit(unpacked, produced);
        ended = status == Z_STREAM_END || (produced == 0 && stream.avail_in == 0 && inputEnded);
    }
    return ok && written == declared && crc == info.crc;
}

// Creates the file of an entry. A new name needs no look first: CREATE_NEW
// never opens what is already there, a link at that name included. A name
// already taken (an archive may hold a name twice) is written over, unless
// it is a link, which would be written through.
HANDLE CreateEntryFile(const wchar_t* target) {
    HANDLE out =
        CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
        return out;
    }
    const DWORD attributes = GetFileAttributesW(target);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Writes the current entry to `target`; the file is deleted again when any
// read, write, size or CRC check fails.
bool WriteCurrentEntry(unzFile archive, WinFileStream& zip, const wchar_t* target,
                       const unz_file_info64& info, EntryBuffers& buffers, ZipReporter* reporter) {
    HANDLE out = CreateEntryFile(target);
    if (out == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Opened raw, the reader checks the local header and finds the data.
    bool ok = IsSupportedMethod(info.compression_method) &&
              unzOpenCurrentFile2(archive, nullptr, nullptr, 1) == UNZ_OK;
    if (ok) {
        const ZPOS64_T data = unzGetCurrentFileZStreamPos64(archive);
        if (unzCloseCurrentFile(archive) != UNZ_OK) {
            ok = false;
        }
        ok = ok && UnpackEntry(zip, data, out, info, buffers, reporter);
    }
    CloseHandle(out);
    if (!ok) {
        DeleteFileW(target);
    }
    return ok;
}

// Whether the extraction folder or a folder between it and `path` (inside
// it) that exists is a reparse point (a junction or a link) or not a folder.
// What does not exist yet sends nothing elsewhere; the folders made for it
// are plain. `path` itself is looked at where it is created.
bool IsLinkOnTheWay(const std::wstring& folder, const std::wstring& path) {
    std::wstring base = folder;
    while (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    for (size_t end = base.size(); end != std::wstring::npos && end < path.size();
         end = path.find(L'\\', end + 1)) {
        const DWORD attributes = GetFileAttributesW(path.substr(0, end).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return false;
        }
        if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
            FILE_ATTRIBUTE_DIRECTORY) {
            return true;
        }
    }
    return false;
}

// What the entries of one extraction share.
struct Extraction {
    unzFile archive = nullptr;
    WinFileStream* zip = nullptr;
    std::wstring folder;
    EntryBuffers buffers;
    // Parent folders this extraction made already; an archive's files
    // mostly share a few, and asking for each again is a call per entry.
    std::set<std::wstring> madeFolders;
    ZipReporter* reporter = nullptr;
};

bool ExtractCurrentEntry(Extraction& run) {
    unzFile archive = run.archive;
    const std::wstring& folder = run.folder;
    ZipReporter* reporter = run.reporter;
    unz_file_info64 info = {};
    char rawName[kNameBytes + 1] = {};
    // A longer name is cut at kNameBytes bytes.
    if (unzGetCurrentFileInfo64(archive, &info, rawName, kNameBytes, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
        return false;
    }
    rawName[kNameBytes] = '\0';
    const bool isDirectory = IsDirectoryEntry(rawName, info);

    std::wstring name;
    if (!StoredNameToRelativePath(rawName, name)) {
        return false;
    }
    // A directory entry ends in one separator; the name check sees it without.
    if (isDirectory && name.size() > 1 && name.back() == L'\\') {
        name.pop_back();
    }
    if (!IsSafeRelativeName(name)) {
        return false;
    }
    const std::wstring path = ResolveInsideFolder(folder, name);
    if (path.empty()) {
        return false;
    }
    const wchar_t* target = path.c_str();
    // A folder of the extraction that became a link since it was made would
    // send this entry, and the folders made for it, somewhere else: looked
    // at before folders are made and again before the file is written.
    if (isDirectory) {
        if (IsLinkOnTheWay(folder, path + L"\\")) {
            return false;
        }
        SHCreateDirectoryExW(nullptr, target, nullptr);
        return !IsLinkOnTheWay(folder, path + L"\\");
    }
    wchar_t parent[MAX_PATH];
    lstrcpynW(parent, target, MAX_PATH);
    if (PathRemoveFileSpecW(parent) && run.madeFolders.count(parent) == 0) {
        if (IsLinkOnTheWay(folder, path)) {
            return false;
        }
        const int made = SHCreateDirectoryExW(nullptr, parent, nullptr);
        if (made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS) {
            run.madeFolders.insert(parent);
        }
    }
    if (IsLinkOnTheWay(folder, path)) {
        return false;
    }
    return WriteCurrentEntry(archive, *run.zip, target, info, run.buffers, reporter);
}

// Size of a local header before its name and extra field.
constexpr ZPOS64_T kLocalHeaderBytes = 30;

// What one read of the central directory tells before anything is written.
struct DirectoryScan {
    // Entries whose central record could be read, counted from the first; the
    // entry loop goes no further, as it could not read the next one either.
    int readable = 0;
    std::vector<EntryRange> ranges;
    // Declared sizes of the entries that become files.
    std::vector<uint64_t> fileSizes;
    // An entry whose local header cannot be read or contradicts its central
    // record, or -1.
    int badHeader = -1;
};

// Reads every central record of `archive` with the local header it points
// at. A read error of the directory is reported, as the entry loop reported
// it before; one of a local header is not: the archive is refused for it.
void ScanDirectory(unzFile archive, WinFileStream& stream, int total, DirectoryScan& scan) {
    ZipReporter* const reporter = stream.reporter;
    for (int i = 0; i < total; ++i) {
        const int moved = i == 0 ? unzGoToFirstFile(archive) : unzGoToNextFile(archive);
        unz_file_info64 info = {};
        char rawName[kNameBytes + 1] = {};
        if (moved != UNZ_OK || unzGetCurrentFileInfo64(archive, &info, rawName, kNameBytes, nullptr,
                                                       0, nullptr, 0) != UNZ_OK) {
            return;
        }
        rawName[kNameBytes] = '\0';
        // Raw: only the local header is read and checked against the record.
        stream.reporter = nullptr;
        const bool opened = unzOpenCurrentFile2(archive, nullptr, nullptr, 1) == UNZ_OK;
        stream.reporter = reporter;
        if (!opened) {
            scan.badHeader = i;
            return;
        }
        const int localExtra = unzGetLocalExtrafield(archive, nullptr, 0);
        const ZPOS64_T data = unzGetCurrentFileZStreamPos64(archive);
        unzCloseCurrentFile(archive);
        if (localExtra < 0) {
            scan.badHeader = i;
            return;
        }
        EntryRange range;
        range.data = data;
        // The reader found the local name as long as the central one.
        range.header =
            data - kLocalHeaderBytes - info.size_filename - static_cast<ZPOS64_T>(localExtra);
        range.compressedSize = info.compressed_size;
        scan.ranges.push_back(range);
        if (!IsDirectoryEntry(rawName, info)) {
            scan.fileSizes.push_back(info.uncompressed_size);
        }
        scan.readable = i + 1;
    }
}

// Bytes this process may still write on the volume that holds `folder`,
// asked of the nearest folder on the path that exists already.
bool FreeBytesFor(const std::wstring& folder, uint64_t& free) {
    wchar_t path[MAX_PATH];
    lstrcpynW(path, folder.c_str(), MAX_PATH);
    // Each round that goes on has removed the last part of the path.
    for (;;) {
        ULARGE_INTEGER available;
        if (GetDiskFreeSpaceExW(path, &available, nullptr, nullptr)) {
            free = available.QuadPart;
            return true;
        }
        const size_t before = wcslen(path);
        if (!PathRemoveFileSpecW(path) || wcslen(path) >= before) {
            return false;
        }
    }
}

void Refuse(ZipReporter* reporter, unsigned long error, const std::wstring& line) {
    if (reporter) {
        reporter->OnLog((L"Unzip refused: " + line).c_str());
        reporter->OnError(error);
    }
}

std::wstring Number(uint64_t value) {
    return std::to_wstring(value);
}

// A reader over the zip open on `zipFile`, reading through `stream`, which
// must outlive it; NULL when the zip cannot be opened.
unzFile OpenReader(HANDLE zipFile, ZipReporter* reporter, WinFileStream& stream) {
    stream.file = zipFile;
    stream.reporter = reporter;
    zlib_filefunc64_def functions = WinFileFunctions(&stream);
    return unzOpen2_64(L"", &functions);
}

// Refuses, before anything is written, an archive whose entries share bytes
// or lie outside it, and one whose files do not fit the target volume.
// `readable` is how many entries, from the first, the entry loop may try.
bool CheckBeforeWriting(HANDLE zipFile, ULONGLONG zipSize, int total, const std::wstring& folder,
                        ZipReporter* reporter, int& readable) {
    WinFileStream stream;
    unzFile archive = OpenReader(zipFile, reporter, stream);
    if (!archive) {
        return false;
    }
    DirectoryScan scan;
    ScanDirectory(archive, stream, total, scan);
    unzClose(archive);
    readable = scan.readable;

    if (scan.badHeader >= 0) {
        Refuse(reporter, ERROR_INVALID_DATA,
               L"the local header of entry " + Number(scan.badHeader) +
                   L" cannot be read or does not match its directory record");
        return false;
    }
    const RangeCheck ranges = CheckEntryRanges(scan.ranges, zipSize);
    if (ranges.fault == RangeFault::OutsideArchive) {
        const EntryRange& entry = scan.ranges[ranges.first];
        Refuse(reporter, ERROR_INVALID_DATA,
               L"entry " + Number(ranges.first) + L" (local header at " + Number(entry.header) +
                   L", " + Number(entry.compressedSize) + L" compressed bytes from " +
                   Number(entry.data) + L") does not lie inside the " + Number(zipSize) +
                   L"-byte archive");
        return false;
    }
    if (ranges.fault == RangeFault::Overlap) {
        Refuse(reporter, ERROR_INVALID_DATA,
               L"entries " + Number(ranges.first) + L" and " + Number(ranges.second) +
                   L" share bytes of the archive (local headers at " +
                   Number(scan.ranges[ranges.first].header) + L" and " +
                   Number(scan.ranges[ranges.second].header) + L")");
        return false;
    }
    const uint64_t needed = SaturatingTotal(scan.fileSizes);
    uint64_t free = 0;
    // Without an answer from the volume the write path still stops at a full disk.
    if (needed > 0 && FreeBytesFor(folder, free) && needed > free) {
        Refuse(reporter, ERROR_DISK_FULL,
               L"the files unpack to " + Number(needed) + L" bytes, the target volume has " +
                   Number(free) + L" free");
        return false;
    }
    return true;
}

} // namespace

bool StoredNameToRelativePath(const std::string& stored, std::wstring& path) {
    const std::string cut = stored.substr(0, kNameBytes);
    wchar_t name[MAX_PATH] = {};
    if (!cut.empty() && MultiByteToWideChar(CP_ACP, 0, cut.c_str(), static_cast<int>(cut.size()),
                                            name, MAX_PATH - 1) == 0) {
        return false;
    }
    for (wchar_t* c = name; *c; ++c) {
        if (*c == L'/') {
            *c = L'\\';
        }
    }
    path = name;
    return true;
}

bool ZipExtractToFolder(HANDLE zipFile, const std::wstring& folder, ZipReporter* reporter) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(zipFile, &size)) {
        return false;
    }
    WinFileStream stream;
    unzFile archive = OpenReader(zipFile, reporter, stream);
    if (!archive) {
        if (!IsEmptyZip(zipFile, static_cast<ULONGLONG>(size.QuadPart))) {
            return false;
        }
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        if (reporter) {
            reporter->OnProgress(0, 0);
        }
        return true;
    }
    unz_global_info64 global = {};
    // A count beyond what progress can carry would read as no entry, or as
    // fewer than none, and the archive would pass as extracted.
    if (unzGetGlobalInfo64(archive, &global) != UNZ_OK ||
        global.number_entry > static_cast<ZPOS64_T>(INT_MAX)) {
        unzClose(archive);
        return false;
    }
    const int total = static_cast<int>(global.number_entry);
    int readable = 0;
    if (!CheckBeforeWriting(zipFile, static_cast<ULONGLONG>(size.QuadPart), total, folder, reporter,
                            readable)) {
        // Progress ends at the total as after an extraction that stopped.
        if (reporter) {
            reporter->OnProgress(total, total);
        }
        unzClose(archive);
        return false;
    }
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);

    Extraction run;
    run.archive = archive;
    run.zip = &stream;
    run.folder = folder;
    run.reporter = reporter;
    bool ok = true;
    for (int i = 0; i < total; ++i) {
        if (reporter) {
            reporter->OnProgress(i, total);
        }
        if (reporter && reporter->StopRequested()) {
            reporter->OnError(ERROR_CANCELLED);
            ok = false;
            break;
        }
        // Past the last entry the check could read, nothing was checked.
        if (i >= readable) {
            ok = false;
            break;
        }
        const int moved = i == 0 ? unzGoToFirstFile(archive) : unzGoToNextFile(archive);
        if (moved != UNZ_OK || !ExtractCurrentEntry(run)) {
            ok = false;
            break;
        }
    }
    if (reporter) {
        reporter->OnProgress(total, total);
    }
    unzClose(archive);
    return ok;
}

} // namespace zip
