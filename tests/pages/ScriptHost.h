#pragma once

#include <windows.h>

#include <activscp.h>

#include <string>
#include <vector>

namespace pagetest {

// The platform's JScript engine hosted through IActiveScript, with an
// optional object offered to scripts as the global "external". One engine
// per object; COM must be initialised as a single-threaded apartment.
class ScriptHost : public IActiveScriptSite {
public:
    // `external` may be NULL; the host holds a reference while it lives.
    explicit ScriptHost(IDispatch* external = nullptr);
    ~ScriptHost();

    ScriptHost(const ScriptHost&) = delete;
    ScriptHost& operator=(const ScriptHost&) = delete;

    // False (with `lastError`) when the engine cannot be created.
    bool Ready() const { return parser != nullptr; }

    // Compiles `code` without running it: the engine stays initialised and is
    // never started, so nothing in the text executes. S_OK when it compiled.
    HRESULT Parse(const std::wstring& code);
    // Runs `code` in the started engine; S_OK when it ran without an error.
    HRESULT Run(const std::wstring& code);
    // Evaluates one expression in the started engine.
    HRESULT Evaluate(const std::wstring& expression, VARIANT* result);

    // The engine's description of the last error, with its line and column.
    std::wstring lastError;

    // IUnknown (the object lives on the stack or in its owner: no counting).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // IActiveScriptSite
    HRESULT STDMETHODCALLTYPE GetLCID(LCID* lcid) override;
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                          ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR* version) override;
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT* result,
                                                const EXCEPINFO* exception) override;
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE state) override;
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override;
    HRESULT STDMETHODCALLTYPE OnEnterScript() override;
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override;

private:
    HRESULT Start();
    HRESULT ParseText(const std::wstring& code, DWORD flags, VARIANT* result);

    IDispatch* external;
    IActiveScript* engine = nullptr;
    IActiveScriptParse32* parser = nullptr;
    bool started = false;
};

// UTF-8 bytes as UTF-16 text.
std::wstring FromUtf8(const std::string& bytes);
std::string ToUtf8(const std::wstring& text);

// The scripts inside an HTML page that the page runs from its own text: the
// bodies of <script> elements without a src attribute, and the values of
// on... event attributes, in document order.
std::vector<std::wstring> InlineScripts(const std::wstring& html);

} // namespace pagetest
