#pragma once

#include <windows.h>

#include <activscp.h>

#include <string>
#include <utility>
#include <vector>

namespace htmlui {

// The platform's JScript engine hosted without a document, for running page
// scripts headless: the objects given at construction are the script's
// globals of those names (a page's script object as "external", say). One
// engine per host; COM must be initialised on the calling thread as a
// single-threaded apartment, and the engine is used on that thread only. The
// engine is started (connected) by the first Run, Evaluate or Call.
class ScriptHost : public IActiveScriptSite {
public:
    typedef std::vector<std::pair<std::wstring, IDispatch*>> NamedObjects;

    // The host holds a reference on every object while it lives.
    explicit ScriptHost(const NamedObjects& objects = NamedObjects());
    virtual ~ScriptHost();

    ScriptHost(const ScriptHost&) = delete;
    ScriptHost& operator=(const ScriptHost&) = delete;

    // False (with `lastError`) when the engine cannot be created.
    bool Ready() const { return parser_ != nullptr; }

    // Compiles `code` without running it: the engine stays initialised and is
    // never started, so nothing in the text executes. S_OK when it compiled.
    HRESULT Parse(const std::wstring& code);
    // Runs `code` in the started engine; S_OK when it ran without an error.
    HRESULT Run(const std::wstring& code);
    // Evaluates one expression in the started engine.
    HRESULT Evaluate(const std::wstring& expression, VARIANT* result);
    // Calls the global function `name` with no arguments; `result` may be NULL.
    HRESULT Call(const std::wstring& name, VARIANT* result = nullptr);

    // Closes the engine and lets go of it and of the named objects, so that
    // every reference the host and the engine took is returned now; later
    // calls fail. Returns the references others still hold on the engine
    // (0: it is gone). The destructor closes a host still open.
    ULONG Close();

    // The engine's description of the last error, with its line and column.
    std::wstring lastError;
    // Every error the engine reported while running script, oldest first.
    std::vector<std::wstring> errors;
    // `errors` as UTF-8 text, one line each.
    std::string Errors() const;

    // References the engine holds on this site; 0 once it has let go.
    LONG SiteReferences() const { return siteReferences_; }

    // IUnknown: counted, so that a test can see the engine let go; the object
    // lives on the stack or in its owner and is never deleted by a release.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

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

    NamedObjects objects_;
    IActiveScript* engine_ = nullptr;
    // The parse interface of the process's own width (the 32- or 64-bit
    // one): an engine answers only the one that matches its pointer size.
    IActiveScriptParse* parser_ = nullptr;
    bool started_ = false;
    volatile LONG siteReferences_ = 0;
};

} // namespace htmlui
