#include "core/Workers.h"

#include "base/ComPtr.h"
#include "base/HResult.h"
#include "base/LogFile.h"
#include "htmlui/MSHTMLExternal.h"

#include <new>
#include <string>
#include <utility>

namespace downloadmanagercore {

// One request handed to a worker thread. Constructing it takes a reference on
// the owner and counts a running worker; destroying it ends that count, then
// drops the reference (which may destroy the owner and the pool) and frees a
// callback stream that was never taken.
struct WorkerPool::Item {
    Item(WorkerPool* pool_, IUnknown* owner_, const wchar_t* threadName_,
         std::function<int()> step_)
        : pool(pool_), owner(owner_), stream(nullptr), threadName(threadName_),
          step(std::move(step_)) {
        owner->AddRef();
        InterlockedIncrement(&pool->running_);
    }
    ~Item() {
        if (stream) {
            // Marshalled but never taken: free the marshalled reference too.
            CoReleaseMarshalData(stream);
            stream->Release();
        }
        // The count ends before the reference goes: whoever waits for it
        // still holds a reference of its own.
        if (InterlockedDecrement(&pool->running_) == 0 && pool->idle_) {
            SetEvent(pool->idle_.Get());
        }
        owner->Release();
    }
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

    WorkerPool* pool;
    IUnknown* owner;
    IStream* stream; // the page's callback, marshalled for the worker
    const wchar_t* threadName;
    std::function<int()> step;
};

WorkerPool::WorkerPool(LogFile* log)
    : log_(log), running_(0), stopping_(0),
      stopRequested_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      idle_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

WorkerPool::~WorkerPool() {}

bool WorkerPool::IsStopping() const {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&stopping_), 0, 0) != 0;
}

LONG WorkerPool::Running() const {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&running_), 0, 0);
}

HRESULT WorkerPool::Start(IUnknown* owner, IDispatch* callback, const wchar_t* threadName,
                          std::function<int()> step, int failureLevel,
                          const wchar_t* failureFormat) {
    if (IsStopping()) {
        // The window has closed: nobody would be called back.
        WriteLog(log_, LogLevelError, L"StartWorker: the run is ending, nothing started");
        return E_ABORT;
    }
    Item* item = new (std::nothrow) Item(this, owner, threadName, std::move(step));
    if (!item) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = callback
                     ? CoMarshalInterThreadInterfaceInStream(IID_IDispatch, callback, &item->stream)
                     : E_POINTER;
    if (SUCCEEDED(hr)) {
        // Workers are never joined: the handle goes at once, and the item
        // keeps the owner alive.
        const KernelHandle thread(CreateThread(nullptr, 0, ThreadMain, item, 0, nullptr));
        if (thread) {
            return S_OK;
        }
        hr = HResultFromLastError();
    } else {
        item->stream = nullptr;
    }
    WriteLog(log_, failureLevel, failureFormat, static_cast<unsigned>(hr));
    delete item;
    return hr;
}

DWORD WINAPI WorkerPool::ThreadMain(void* parameter) {
    Item* item = static_cast<Item*>(parameter);
    WorkerPool* pool = item->pool;
    LogFile* log = pool->log_;
    const bool comEntered = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    WriteLog(log, LogLevelDebug, L"%s", item->threadName);
    ComPtr<IDispatch> callback;
    IStream* stream = item->stream;
    item->stream = nullptr; // released by the call below, whatever its result
    const HRESULT hr = CoGetInterfaceAndReleaseStream(stream, IID_PPV_ARGS(&callback));
    if (FAILED(hr)) {
        callback.Reset();
        WriteLog(log, LogLevelError, L"%s CoGetInterfaceAndReleaseStream  failed with: %x",
                 item->threadName, static_cast<unsigned>(hr));
    } else {
        const int result = item->step();
        if (pool->IsStopping()) {
            // The page has gone with its window.
            WriteLog(log, LogLevelDebug, L"callJscallback skipped, the window has closed: %d",
                     result);
        } else {
            htmlui::MSHTMLExternal::callJscallback(log, callback.Get(), result);
        }
    }
    callback.Reset();
    // Drops the item's reference: the owner (and this pool) may be destroyed
    // here, so nothing of either is touched afterwards.
    delete item;
    if (comEntered) {
        CoUninitialize();
    }
    return 0;
}

void WorkerPool::BeginStop() {
    InterlockedExchange(&stopping_, 1);
    if (stopRequested_) {
        SetEvent(stopRequested_.Get());
    }
}

bool WorkerPool::WaitUntilIdle(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (Running() == 0) {
            break;
        }
        const DWORD waited = GetTickCount() - start;
        if (waited >= timeoutMs) {
            break;
        }
        // Short slices: the count decides, the event only wakes early. A
        // worker may be calling into this apartment, so its calls are let in.
        const DWORD slice = timeoutMs - waited < 50 ? timeoutMs - waited : 50;
        HANDLE done = idle_.Get();
        DWORD index = 0;
        if (!done || FAILED(CoWaitForMultipleHandles(0, slice, 1, &done, &index))) {
            // No apartment on this thread (or no event): nobody can call in.
            Sleep(slice);
        }
    }
    const LONG left = Running();
    if (left != 0) {
        WriteLog(log_, LogLevelError, L"StopWorkers: %d workers still running after %u ms",
                 static_cast<int>(left), static_cast<unsigned>(timeoutMs));
    }
    return left == 0;
}

} // namespace downloadmanagercore
