#pragma once

namespace zip {

// Progress and error sink of ZipExtractToFolder; called on the extracting thread.
class ZipReporter {
public:
    // Before entry `current` (0-based) is extracted, and once more with
    // (total, total) after the last attempt.
    virtual void OnProgress(int current, int total) = 0;
    // A read of the zip or a write of an extracted file moved fewer bytes than
    // asked; `error` is GetLastError() at that moment.
    virtual void OnError(unsigned long error) = 0;

protected:
    ~ZipReporter() = default;
};

} // namespace zip
