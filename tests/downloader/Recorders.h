#pragma once

// Callback objects that record what a task reports, for the tests to check
// on the test thread once the task has completed. Events may arrive on any
// thread; the recorders guard their records with a critical section.

#include "downloader/Object.h"
#include "downloader/Task.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace testutil {

// Every wait in these tests ends: a task that has not completed by then fails
// the test.
constexpr DWORD kTaskTimeoutMs = 30000;

class Guard {
public:
    explicit Guard(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~Guard() { LeaveCriticalSection(&section_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// The parts every recorder shares: completion count, result, the thread of
// the completion and whether anything arrived after it.
class RecorderBase {
public:
    RecorderBase();
    ~RecorderBase();
    RecorderBase(const RecorderBase&) = delete;
    RecorderBase& operator=(const RecorderBase&) = delete;

    // True once OnComplete has run; false after kTaskTimeoutMs (or timeoutMs).
    bool WaitDone(DWORD timeoutMs = kTaskTimeoutMs) const;
    bool IsDone() const { return WaitForSingleObject(done_, 0) == WAIT_OBJECT_0; }
    HANDLE doneEvent() const { return done_; }

    int completions() const;
    long result() const;
    DWORD completionThread() const;
    bool eventAfterComplete() const;
    // Events in order: 'R' response, 'D' data, 'W' written, 'C' complete.
    std::string sequence() const;

protected:
    void NoteEvent(char kind);
    void NoteComplete(long result);

    mutable CRITICAL_SECTION lock_;

private:
    HANDLE done_;
    int completions_ = 0;
    long result_ = 0;
    DWORD completionThread_ = 0;
    bool eventAfterComplete_ = false;
    std::string sequence_;
};

class HttpRecorder : public downloader::IHttpCallback, public RecorderBase {
public:
    void OnComplete(long result) override { NoteComplete(result); }
    void OnResponse(downloader::HttpResponse&& response) override;
    void OnData(const downloader::HttpData& chunk) override;

    std::vector<downloader::HttpResponse> responses() const;
    std::string body() const;
    size_t chunks() const;
    // Signalled once at least `bytes` body bytes have arrived.
    bool WaitForBytes(size_t bytes, DWORD timeoutMs = kTaskTimeoutMs) const;

protected:
    ~HttpRecorder() = default;

private:
    std::vector<downloader::HttpResponse> responses_;
    std::string body_;
    size_t chunks_ = 0;
};

class MemRecorder : public downloader::ITaskCallback<downloader::HttpToMemResult&&>,
                    public RecorderBase {
public:
    void OnComplete(downloader::HttpToMemResult&& outcome) override;

    std::string data() const;
    uint32_t size() const;
    bool hadBuffer() const;

protected:
    ~MemRecorder() = default;

private:
    std::string data_;
    uint32_t size_ = 0;
    bool hadBuffer_ = false;
};

class FileRecorder : public downloader::IHttpToFileCallback, public RecorderBase {
public:
    void OnComplete(long result) override { NoteComplete(result); }
    void OnWritten(int64_t offset, const void* bytes, int64_t count) override;

    std::vector<std::pair<int64_t, int64_t>> writes() const;
    int64_t written() const;
    // Signalled once at least `bytes` have been written.
    bool WaitForWritten(int64_t bytes, DWORD timeoutMs = kTaskTimeoutMs) const;

protected:
    ~FileRecorder() = default;

private:
    std::vector<std::pair<int64_t, int64_t>> writes_;
    int64_t written_ = 0;
};

// The reference count of an object, read through AddRef and Release.
long RefCount(downloader::IObject* object);

// Waits until an object's count has dropped to `count` (the engine releases
// its references just after OnComplete returns); false after the timeout.
bool WaitForRefCount(downloader::IObject* object, long count, DWORD timeoutMs = 5000);

template <class T>
T* MakeRecorder() {
    return downloader::details::Object<T>::Create();
}

// Owns one reference and releases it at the end of a test.
template <class T>
class Ref {
public:
    explicit Ref(T* object = nullptr) : object_(object) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset(T* object = nullptr) {
        if (object_ != nullptr) {
            object_->Release();
        }
        object_ = object;
    }
    T* release() {
        T* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    T* object_;
};

} // namespace testutil
