#include "tests/downloader/Recorders.h"

namespace testutil {

RecorderBase::RecorderBase() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
}

RecorderBase::~RecorderBase() {
    CloseHandle(done_);
    DeleteCriticalSection(&lock_);
}

bool RecorderBase::WaitDone(DWORD timeoutMs) const {
    return WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0;
}

int RecorderBase::completions() const {
    Guard guard(lock_);
    return completions_;
}

long RecorderBase::result() const {
    Guard guard(lock_);
    return result_;
}

DWORD RecorderBase::completionThread() const {
    Guard guard(lock_);
    return completionThread_;
}

bool RecorderBase::eventAfterComplete() const {
    Guard guard(lock_);
    return eventAfterComplete_;
}

std::string RecorderBase::sequence() const {
    Guard guard(lock_);
    return sequence_;
}

void RecorderBase::NoteEvent(char kind) {
    if (completions_ > 0) {
        eventAfterComplete_ = true;
    }
    // Runs of data or write events are kept as one letter.
    if (sequence_.empty() || sequence_.back() != kind || kind == 'R' || kind == 'C') {
        sequence_ += kind;
    }
}

void RecorderBase::NoteComplete(long result) {
    {
        Guard guard(lock_);
        NoteEvent('C');
        ++completions_;
        result_ = result;
        completionThread_ = GetCurrentThreadId();
    }
    SetEvent(done_);
}

void HttpRecorder::OnResponse(downloader::HttpResponse&& response) {
    Guard guard(lock_);
    NoteEvent('R');
    responses_.push_back(std::move(response));
}

void HttpRecorder::OnData(const downloader::HttpData& chunk) {
    Guard guard(lock_);
    NoteEvent('D');
    body_.append(static_cast<const char*>(chunk.data), chunk.size);
    ++chunks_;
}

std::vector<downloader::HttpResponse> HttpRecorder::responses() const {
    Guard guard(lock_);
    return responses_;
}

std::string HttpRecorder::body() const {
    Guard guard(lock_);
    return body_;
}

size_t HttpRecorder::chunks() const {
    Guard guard(lock_);
    return chunks_;
}

bool HttpRecorder::WaitForBytes(size_t bytes, DWORD timeoutMs) const {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        {
            Guard guard(lock_);
            if (body_.size() >= bytes) {
                return true;
            }
        }
        Sleep(5);
    }
    return false;
}

void MemRecorder::OnComplete(downloader::HttpToMemResult&& outcome) {
    {
        Guard guard(lock_);
        hadBuffer_ = outcome.data != nullptr;
        size_ = outcome.size;
        if (outcome.data != nullptr) {
            data_.assign(static_cast<const char*>(outcome.data), outcome.size);
        }
    }
    NoteComplete(outcome.result);
}

std::string MemRecorder::data() const {
    Guard guard(lock_);
    return data_;
}

uint32_t MemRecorder::size() const {
    Guard guard(lock_);
    return size_;
}

bool MemRecorder::hadBuffer() const {
    Guard guard(lock_);
    return hadBuffer_;
}

void FileRecorder::OnWritten(int64_t offset, const void*, int64_t count) {
    Guard guard(lock_);
    NoteEvent('W');
    writes_.emplace_back(offset, count);
    written_ += count;
}

std::vector<std::pair<int64_t, int64_t>> FileRecorder::writes() const {
    Guard guard(lock_);
    return writes_;
}

int64_t FileRecorder::written() const {
    Guard guard(lock_);
    return written_;
}

bool FileRecorder::WaitForWritten(int64_t bytes, DWORD timeoutMs) const {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        {
            Guard guard(lock_);
            if (written_ >= bytes) {
                return true;
            }
        }
        Sleep(5);
    }
    return false;
}

long RefCount(downloader::IObject* object) {
    const long count = object->AddRef();
    object->Release();
    return count;
}

bool WaitForRefCount(downloader::IObject* object, long count, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (RefCount(object) == count) {
            return true;
        }
        Sleep(5);
    }
    return false;
}

} // namespace testutil
