#pragma once

#include "base/UniqueHandle.h"

#include <windows.h>

#include <objidl.h>

#include <functional>

class LogFile;

namespace downloadmanagercore {

// The script API's worker threads: each runs one step for a page and calls
// the page back with the step's result. The pool counts them, tells them when
// the run stops, and waits for them at its end.
//
// Threads: Start, BeginStop and WaitUntilIdle are called on the UI thread;
// the rest from any thread. A worker holds a reference on the pool's owner
// (the script object) from Start until it has called back and finished, so
// the owner, and with it the pool, outlives every running worker.
class WorkerPool {
public:
    explicit WorkerPool(LogFile* log);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `step` on a new thread in the multithreaded apartment, which logs
    // `threadName` (DEBUG) first, then calls `callback` (marshalled to that
    // thread) with the step's result, unless the run is stopping by then.
    // When the callback cannot be taken out on the worker, the step does not
    // run and the page is never called back (logged). On failure nothing
    // runs: a line `failureFormat` with the HRESULT ("%x") is logged at
    // `failureLevel` and the HRESULT is returned for the script engine; once
    // the run is stopping, nothing starts (E_ABORT).
    HRESULT Start(IUnknown* owner, IDispatch* callback, const wchar_t* threadName,
                  std::function<int()> step, int failureLevel, const wchar_t* failureFormat);

    // The end of the run begins: no worker starts any more, no running one
    // calls the page back, and StopRequested is signalled.
    void BeginStop();
    // Waits until no worker is left, at most `timeoutMs`, letting in the calls
    // workers make into this thread's apartment meanwhile. True when none is
    // left; otherwise logs how many still run.
    bool WaitUntilIdle(DWORD timeoutMs);

    bool IsStopping() const;
    // Manual-reset, signalled by BeginStop: workers wait on it instead of
    // sleeping, so a pause ends with the run.
    HANDLE StopRequested() const { return stopRequested_.Get(); }
    // Workers started and not yet finished.
    LONG Running() const;

private:
    struct Item;
    static DWORD WINAPI ThreadMain(void* item);

    LogFile* log_; // not owned; may be NULL
    volatile LONG running_;
    volatile LONG stopping_;
    KernelHandle stopRequested_;
    // Auto-reset: signalled when the last running worker finishes.
    KernelHandle idle_;
};

} // namespace downloadmanagercore
