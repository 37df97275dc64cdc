#pragma once

namespace zip {

// Progress and error sink of ZipExtractToFolder; called on the extracting thread.
class ZipReporter {
public:
    // Before entry `current` (0-based) is extracted, and once more with
    // (total, total) after the last attempt; only that last call for an
    // archive refused before anything is written.
    virtual void OnProgress(int current, int total) = 0;
    // A read of the zip or a write of an extracted file moved fewer bytes than
    // asked; `error` is GetLastError() at that moment. Also the reason an
    // archive is refused before anything is written: ERROR_INVALID_DATA when
    // its entries share bytes or lie outside it or a local header cannot be
    // read, ERROR_DISK_FULL when its files do not fit the target volume.
    virtual void OnError(unsigned long error) = 0;
    // A line for the run's log, just before the OnError of such a refusal,
    // saying which entries or sizes made it.
    virtual void OnLog(const wchar_t* line) = 0;
    // Asked before each entry and before each read of an entry's data: true
    // ends the extraction early (OnError(ERROR_CANCELLED)), so a run that is
    // ending does not wait for a large package to be unpacked.
    virtual bool StopRequested() { return false; }

protected:
    ~ZipReporter() = default;
};

} // namespace zip
