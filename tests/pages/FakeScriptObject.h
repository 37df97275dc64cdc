#pragma once

#include "htmlui/MSHTMLExternal.h"

#include <windows.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace pagetest {

// The program's script methods, their rows taken from its method table (so
// the same one check of every call; STG_E_INVALIDPARAMETER for a status out
// of range), without the program behind them: calls are recorded as lines such
// as download("http://host/p.zip") or setInstallStatus(2), properties come
// from a map, retryMessageBox from a list of answers, and the callbacks of
// download, extract and install wait until the test completes them.
//
// Test methods for the script (see tests/pages/fake_external.js, which
// offers the same to Node and Chromium): testReset, testSetProperty(name,
// value), testAddAnswer(bool), testPending() -> operation name or "",
// testComplete(code), testNote(text), testCalls() -> lines joined by "\n".
class FakeScriptObject : public htmlui::MSHTMLExternal {
public:
    FakeScriptObject();
    ~FakeScriptObject() override;

    void OnDocumentComplete(htmlui::MSHTMLClient* site) override;
    unsigned GetMethodTable(const htmlui::MethodEntry** rows) override;

    std::vector<std::wstring> calls;
    std::map<std::wstring, std::wstring> properties;
    std::deque<bool> answers;

    struct Pending {
        std::wstring operation;
        IDispatch* callback;
    };
    std::deque<Pending> pending;

    // The handler of method table row `Row`.
    template <unsigned Row>
    HRESULT Handle(DISPPARAMS* params, VARIANT* result) {
        return Dispatch(Row, params, result);
    }

private:
    HRESULT Dispatch(unsigned row, DISPPARAMS* params, VARIANT* result);
    void Reset();
};

} // namespace pagetest
