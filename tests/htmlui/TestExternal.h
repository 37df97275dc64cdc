#pragma once

#include "htmlui/MSHTMLExternal.h"
#include "tests/common/TestUtil.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

class LogFile;

namespace htmltest {

// A script object with a small method table, in the shape the script API
// gives its own (handler convention: exact flags, count and types):
//   1 "add"       flags 3  (I4, I4) -> I4
//   2 "record"    flags 1  (I4)          appends to `recorded`
//   3 "download"  flags 1  (BSTR)        appends the text to `texts`
//   4 "echo"      flags 3  (BSTR) -> BSTR
//   5 "runLater"  flags 1  (DISPATCH, I4) a worker thread calls the function
//                                        back with the number (callJscallback)
//   6 "recordText" flags 1 (BSTR)        appends the text to `texts`
// It also records what the host window and the site tell it, and counts its
// live instances so that tests can see it freed.
class TestExternal : public htmlui::MSHTMLExternal {
public:
    explicit TestExternal(LogFile* log = nullptr);
    ~TestExternal() override;

    void SetHostWindow(HWND window) override;
    void OnDocumentComplete(htmlui::MSHTMLClient* site) override;
    void OpenOutside(const wchar_t* url) override;
    unsigned GetMethodTable(const htmlui::MethodEntry** rows) override;

    // Waits (pumping this thread's messages) until every worker started by
    // "runLater" has ended; false after `timeoutMs`.
    bool JoinWorkers(DWORD timeoutMs);

    LONG References() const { return refCount; }
    HWND Window() const { return hostWindow; }
    ULONG DynamicMemberCount() const { return dynamicMemberCount; }
    const htmlui::DynamicMember* DynamicMembers() const { return dynamicMembers; }

    LogFile* log;
    std::vector<HWND> hostWindows;                     // every SetHostWindow argument
    std::vector<htmlui::MSHTMLClient*> completedSites; // every OnDocumentComplete argument
    std::vector<std::wstring> openedOutside;           // every OpenOutside argument
    std::vector<long> recorded;
    std::vector<std::wstring> texts;
    std::vector<HRESULT> callbackResults; // what each worker's callJscallback returned
    std::mutex resultsLock;               // guards callbackResults
    std::vector<HANDLE> workers;
    // Called from inside OnDocumentComplete when set.
    void (*onComplete)(TestExternal* self);

    static LONG liveObjects;

private:
    HRESULT Add(DISPPARAMS* params, VARIANT* result);
    HRESULT Record(DISPPARAMS* params, VARIANT* result);
    HRESULT Download(DISPPARAMS* params, VARIANT* result);
    HRESULT Echo(DISPPARAMS* params, VARIANT* result);
    HRESULT RunLater(DISPPARAMS* params, VARIANT* result);
    HRESULT RecordText(DISPPARAMS* params, VARIANT* result);

    static const htmlui::MethodEntry methods[];
};

using testutil::PumpUntil;

} // namespace htmltest
