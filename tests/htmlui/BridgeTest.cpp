// The script object bridge called directly through IDispatch / IDispatchEx:
// the exact results the script engine sees for every edge of the contract.

#include "base/LogFile.h"
#include "htmlui/MSHTMLExternal.h"
#include "tests/common/TestUtil.h"
#include "tests/htmlui/FakeFunction.h"
#include "tests/htmlui/TestExternal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using htmltest::FakeFunction;
using htmltest::TestExternal;
using htmlui::DynamicMemberGrowthPlan;
using htmlui::PlanDynamicMemberGrowth;

namespace {

const DISPID Dynamic0 = static_cast<DISPID>(0x80000000u);

// A BSTR for the length of one expression or scope.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return value; }

private:
    BSTR value;
};

VARIANT Int(long value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT Double(double value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}

class Bridge : public testing::Test {
protected:
    void SetUp() override { object = new TestExternal(); }
    void TearDown() override {
        if (object) {
            EXPECT_EQ(0u, object->Release());
        }
    }

    HRESULT Id(const wchar_t* name, DWORD flags, DISPID* id) {
        Bstr bstr(name);
        return object->GetDispID(bstr, flags, id);
    }
    DISPID EnsureId(const wchar_t* name) {
        DISPID id = 0;
        EXPECT_EQ(S_OK, Id(name, fdexNameEnsure, &id));
        return id;
    }
    HRESULT Put(DISPID id, VARIANT value) {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params = {&value, &named, 1, 1};
        return object->InvokeEx(id, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
    }
    HRESULT Get(DISPID id, VARIANT* value) {
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        VariantInit(value);
        return object->InvokeEx(id, 0, DISPATCH_PROPERTYGET, &none, value, nullptr, nullptr);
    }

    TestExternal* object = nullptr;
};

TEST_F(Bridge, AnswersOnlyItsThreeInterfacesWithItself) {
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &__uuidof(IDispatchEx)}) {
        void* answer = nullptr;
        EXPECT_EQ(S_OK, object->QueryInterface(*iid, &answer));
        EXPECT_EQ(static_cast<IDispatchEx*>(object), answer);
    }
    EXPECT_EQ(4, object->References());
    for (const IID* iid : {&IID_IOleClientSite, &IID_IMarshal, &IID_IConnectionPointContainer}) {
        void* answer = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(*iid, &answer));
        EXPECT_EQ(nullptr, answer);
    }
    EXPECT_EQ(3u, object->Release());
    EXPECT_EQ(2u, object->Release());
    EXPECT_EQ(1u, object->Release());
}

TEST_F(Bridge, ReleaseToZeroDestroysTheObjectAndItsMembers) {
    const LONG before = TestExternal::liveObjects;
    FakeFunction function(true);
    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_DISPATCH;
    holder.pdispVal = &function;
    ASSERT_EQ(S_OK, Put(EnsureId(L"f"), holder));
    ASSERT_EQ(S_OK, Put(EnsureId(L"n"), Int(1)));
    EXPECT_EQ(1, function.refs);
    EXPECT_EQ(0u, object->Release());
    object = nullptr;
    EXPECT_EQ(before - 1, TestExternal::liveObjects);
    EXPECT_EQ(0, function.refs);
}

TEST_F(Bridge, HasNoTypeInformationAndNoEnumeration) {
    UINT count = 77;
    EXPECT_EQ(E_NOTIMPL, object->GetTypeInfoCount(&count));
    EXPECT_EQ(77u, count);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(E_NOTIMPL, object->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(reinterpret_cast<ITypeInfo*>(1), info);
    DWORD properties = 77;
    EXPECT_EQ(E_NOTIMPL, object->GetMemberProperties(1, 0, &properties));
    EXPECT_EQ(77u, properties);
    BSTR name = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_NOTIMPL, object->GetMemberName(1, &name));
    EXPECT_EQ(reinterpret_cast<BSTR>(1), name);
    DISPID next = 77;
    EXPECT_EQ(E_NOTIMPL, object->GetNextDispID(0, DISPID_STARTENUM, &next));
    EXPECT_EQ(77, next);
    IUnknown* parent = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_NOTIMPL, object->GetNameSpaceParent(&parent));
    EXPECT_EQ(reinterpret_cast<IUnknown*>(1), parent);
}

TEST_F(Bridge, GetIDsOfNamesFindsMethodsExactlyAndReportsEveryMiss) {
    struct Case {
        std::vector<const wchar_t*> names;
        HRESULT hr;
        std::vector<DISPID> ids;
    };
    const Case cases[] = {
        {{L"download"}, S_OK, {3}},
        {{L"Download"}, DISP_E_UNKNOWNNAME, {-1}},
        {{L"add", L"nothing"}, DISP_E_UNKNOWNNAME, {1, -1}},
        {{L"nothing", L"echo"}, DISP_E_UNKNOWNNAME, {-1, 4}},
        {{L"recordText", L"runLater", L"add"}, S_OK, {6, 5, 1}},
        {{}, S_OK, {}},
    };
    for (const Case& c : cases) {
        std::vector<LPOLESTR> names;
        for (const wchar_t* name : c.names) {
            names.push_back(const_cast<LPOLESTR>(name));
        }
        std::vector<DISPID> ids(c.names.size() + 1, 12345);
        EXPECT_EQ(c.hr, object->GetIDsOfNames(IID_NULL, names.data(),
                                              static_cast<UINT>(names.size()), 0, ids.data()));
        ids.pop_back();
        EXPECT_EQ(c.ids, ids);
    }
    // Expando members are invisible to this entry.
    EnsureId(L"x");
    LPOLESTR x = const_cast<LPOLESTR>(L"x");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, object->GetIDsOfNames(IID_NULL, &x, 1, 0, &id));
    EXPECT_EQ(-1, id);
}

TEST_F(Bridge, InvokeRejectsIdentifiersOutsideTheTableAndForeignInterfaces) {
    EnsureId(L"x"); // a dynamic member exists: its id must still be refused
    VARIANT a = Int(2), b = Int(3);
    VARIANT args[2] = {b, a};
    DISPPARAMS params = {args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    const WORD call = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    for (DISPID id : {0, 7, 8, -1, -2, static_cast<int>(Dynamic0), 0x7FFFFFFF}) {
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
                  object->Invoke(id, IID_NULL, 0, call, &params, &result, nullptr, nullptr))
            << id;
    }
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              object->Invoke(1, IID_IDispatch, 0, call, &params, &result, nullptr, nullptr));
    EXPECT_EQ(VT_EMPTY, result.vt);
    EXPECT_EQ(S_OK, object->Invoke(1, IID_NULL, 0, call, &params, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(5, result.lVal);
}

// What the one check of every call answers, through Invoke, for the rows of
// the method table.
TEST_F(Bridge, InvokeChecksFlagsThenCountThenExactTypes) {
    VARIANT i4 = Int(4);
    VARIANT r8 = Double(4.5);
    BSTR text = SysAllocString(L"4");
    VARIANT str;
    VariantInit(&str);
    str.vt = VT_BSTR;
    str.bstrVal = text;
    long stored = 9;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_I4 | VT_BYREF;
    byRef.plVal = &stored;
    VARIANT wrapped;
    VariantInit(&wrapped);
    wrapped.vt = VT_VARIANT | VT_BYREF;
    wrapped.pvarVal = &i4;
    DISPID namedId = 0;

    struct Case {
        DISPID id;
        WORD flags;
        std::vector<VARIANT> args; // rgvarg order
        bool named;
        HRESULT hr;
    };
    const Case cases[] = {
        {2, DISPATCH_METHOD, {i4}, false, S_OK},
        {2, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {i4}, false, DISP_E_MEMBERNOTFOUND},
        {2, DISPATCH_PROPERTYGET, {i4}, false, DISP_E_MEMBERNOTFOUND},
        {1, DISPATCH_METHOD, {i4, i4}, false, DISP_E_MEMBERNOTFOUND},
        {2, DISPATCH_METHOD, {}, false, DISP_E_BADPARAMCOUNT},
        {2, DISPATCH_METHOD, {i4, i4}, false, DISP_E_BADPARAMCOUNT},
        {2, DISPATCH_METHOD, {i4}, true, DISP_E_BADPARAMCOUNT},
        {2, DISPATCH_METHOD, {r8}, false, DISP_E_TYPEMISMATCH},
        {2, DISPATCH_METHOD, {str}, false, DISP_E_TYPEMISMATCH},
        {2, DISPATCH_METHOD, {byRef}, false, DISP_E_TYPEMISMATCH},
        {2, DISPATCH_METHOD, {wrapped}, false, DISP_E_TYPEMISMATCH},
        {1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {i4, str}, false, DISP_E_TYPEMISMATCH},
        {3, DISPATCH_METHOD, {str}, false, S_OK},
    };
    for (const Case& c : cases) {
        std::vector<VARIANT> args = c.args;
        DISPPARAMS params = {args.data(), c.named ? &namedId : nullptr,
                             static_cast<UINT>(args.size()), c.named ? 1u : 0u};
        EXPECT_EQ(c.hr,
                  object->Invoke(c.id, IID_NULL, 0, c.flags, &params, nullptr, nullptr, nullptr))
            << "id " << c.id << " flags " << c.flags << " args " << args.size();
    }
    EXPECT_EQ(std::vector<long>{4}, object->recorded);
    EXPECT_EQ(std::vector<std::wstring>{L"4"}, object->texts);
    // A missing parameter block reads as no arguments.
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              object->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
    SysFreeString(text);
}

struct DispIdCase {
    const wchar_t* name;
    DWORD flags;
    HRESULT hr;
    DISPID id;
};

TEST_F(Bridge, GetDispIdFollowsItsFlags) {
    const DWORD ensure = fdexNameEnsure;
    const DWORD noCase = fdexNameCaseInsensitive;
    const DWORD noDynamic = fdexNameNoDynamicProperties;
    const DispIdCase cases[] = {
        {L"download", 0, S_OK, 3},
        {L"Download", 0, DISP_E_UNKNOWNNAME, -1},
        {L"Download", noCase, S_OK, 3},
        {L"DOWNLOAD", noCase | noDynamic, S_OK, 3},
        {L"Download", ensure, S_OK, Dynamic0}, // case-sensitive: a new member
        {L"x", 0, DISP_E_UNKNOWNNAME, -1},
        {L"x", noCase, DISP_E_UNKNOWNNAME, -1},
        {L"x", ensure, S_OK, Dynamic0 | 1},
        {L"x", 0, S_OK, Dynamic0 | 1},
        {L"x", ensure, S_OK, Dynamic0 | 1},
        {L"X", 0, DISP_E_UNKNOWNNAME, -1},
        {L"X", noCase, S_OK, Dynamic0 | 1},
        {L"X", ensure, S_OK, Dynamic0 | 2},
        {L"x", noDynamic, DISP_E_UNKNOWNNAME, -1},
        {L"x", noDynamic | noCase, DISP_E_UNKNOWNNAME, -1},
        // Without the search, Ensure appends even an existing name.
        {L"x", noDynamic | ensure, S_OK, Dynamic0 | 3},
        {L"x", 0, S_OK, Dynamic0 | 1},
        {L"add", ensure, S_OK, 1},
        {L"", 0, DISP_E_UNKNOWNNAME, -1},
        {L"", ensure, S_OK, Dynamic0 | 4},
    };
    for (const DispIdCase& c : cases) {
        DISPID id = 12345;
        EXPECT_EQ(c.hr, Id(c.name, c.flags, &id))
            << "'" << testing::PrintToString(c.name) << "' flags " << c.flags;
        EXPECT_EQ(c.id, id) << testing::PrintToString(c.name) << " flags " << c.flags;
    }
    EXPECT_EQ(5u, object->DynamicMemberCount());
    EXPECT_STREQ(L"Download", object->DynamicMembers()[0].name);
    EXPECT_STREQ(L"X", object->DynamicMembers()[2].name);
}

TEST_F(Bridge, ExpandoMemberKeepsWhatIsAssigned) {
    const DISPID x = EnsureId(L"x");
    VARIANT value;
    ASSERT_EQ(S_OK, Get(x, &value));
    EXPECT_EQ(VT_EMPTY, value.vt);
    ASSERT_EQ(S_OK, Put(x, Int(5)));
    ASSERT_EQ(S_OK, Get(x, &value));
    EXPECT_EQ(VT_I4, value.vt);
    EXPECT_EQ(5, value.lVal);

    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"five");
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&text, &named, 1, 1};
    ASSERT_EQ(S_OK,
              object->InvokeEx(x, 0, DISPATCH_PROPERTYPUTREF, &params, nullptr, nullptr, nullptr));
    VariantClear(&text); // the member holds its own copy
    ASSERT_EQ(S_OK, Get(x, &value));
    EXPECT_EQ(VT_BSTR, value.vt);
    EXPECT_STREQ(L"five", value.bstrVal);
    VariantClear(&value);
}

TEST_F(Bridge, ExpandoAccessChecksItsParameters) {
    const DISPID x = EnsureId(L"x");
    VARIANT one = Int(1);
    VARIANT two[2] = {Int(1), Int(2)};
    DISPID put = DISPID_PROPERTYPUT;
    DISPID other = 0;
    DISPID puts[2] = {DISPID_PROPERTYPUT, 0};
    VARIANT result;
    VariantInit(&result);
    struct Case {
        WORD flags;
        DISPPARAMS params;
        HRESULT hr;
    };
    const Case cases[] = {
        {DISPATCH_PROPERTYGET, {&one, nullptr, 1, 0}, DISP_E_BADPARAMCOUNT},
        {DISPATCH_PROPERTYGET, {nullptr, &put, 0, 1}, DISP_E_BADPARAMCOUNT},
        {DISPATCH_METHOD | DISPATCH_PROPERTYGET, {&one, nullptr, 1, 0}, DISP_E_BADPARAMCOUNT},
        {DISPATCH_PROPERTYPUT, {nullptr, nullptr, 0, 0}, DISP_E_BADPARAMCOUNT},
        {DISPATCH_PROPERTYPUT, {two, puts, 2, 2}, DISP_E_BADPARAMCOUNT},
        {DISPATCH_PROPERTYPUT, {&one, nullptr, 1, 0}, DISP_E_PARAMNOTFOUND},
        {DISPATCH_PROPERTYPUT, {&one, &other, 1, 1}, DISP_E_PARAMNOTFOUND},
        {DISPATCH_PROPERTYPUTREF, {&one, &other, 1, 1}, DISP_E_PARAMNOTFOUND},
        {DISPATCH_PROPERTYPUT, {&one, puts, 1, 2}, DISP_E_PARAMNOTFOUND},
        {0, {nullptr, nullptr, 0, 0}, E_NOTIMPL},
        {0x10, {nullptr, nullptr, 0, 0}, E_NOTIMPL},
    };
    for (const Case& c : cases) {
        DISPPARAMS params = c.params;
        EXPECT_EQ(c.hr, object->InvokeEx(x, 0, c.flags, &params, &result, nullptr, nullptr))
            << "flags " << c.flags << " args " << c.params.cArgs << " named "
            << c.params.cNamedArgs;
    }
    EXPECT_EQ(VT_EMPTY, result.vt);
    VARIANT value;
    ASSERT_EQ(S_OK, Get(x, &value));
    EXPECT_EQ(VT_EMPTY, value.vt);

    // A row that does not exist.
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    for (DISPID id :
         {static_cast<int>(Dynamic0 | 1), static_cast<int>(Dynamic0 | 0x7FFFFFFE), -1}) {
        EXPECT_EQ(DISP_E_UNKNOWNNAME,
                  object->InvokeEx(id, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    }
}

TEST_F(Bridge, ReadingAnExpandoWithNowhereToPutTheValueIsRefused) {
    const DISPID x = EnsureId(L"x");
    ASSERT_EQ(S_OK, Put(x, Int(5)));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    for (WORD flags : {WORD(DISPATCH_PROPERTYGET), WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET)}) {
        EXPECT_EQ(E_POINTER, object->InvokeEx(x, 0, flags, &none, nullptr, nullptr, nullptr))
            << "flags " << flags;
    }
    VARIANT value;
    ASSERT_EQ(S_OK, Get(x, &value));
    EXPECT_EQ(VT_I4, value.vt);
    EXPECT_EQ(5, value.lVal);
}

TEST_F(Bridge, InvokeExOnAMethodGoesThroughInvoke) {
    // Through the virtual slot: an override of Invoke sees the call.
    class Counting : public TestExternal {
    public:
        HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                         DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                         UINT* argumentError) override {
            ++invokes;
            lastArgumentError = argumentError;
            lastIidNull = iid == IID_NULL;
            return TestExternal::Invoke(id, iid, locale, flags, params, result, exception,
                                        argumentError);
        }
        int invokes = 0;
        UINT* lastArgumentError = reinterpret_cast<UINT*>(1);
        bool lastIidNull = false;
    };
    Counting* counting = new Counting();
    VARIANT arg = Int(8);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    EXPECT_EQ(S_OK, counting->InvokeEx(2, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    EXPECT_EQ(1, counting->invokes);
    EXPECT_EQ(nullptr, counting->lastArgumentError);
    EXPECT_TRUE(counting->lastIidNull);
    EXPECT_EQ(std::vector<long>{8}, counting->recorded);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              counting->InvokeEx(0, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    EXPECT_EQ(2, counting->invokes);
    EXPECT_EQ(0u, counting->Release());
}

TEST_F(Bridge, CallingAnExpandoThatHoldsNoFunctionDoesNothing) {
    const DISPID n = EnsureId(L"n");
    ASSERT_EQ(S_OK, Put(n, Int(7)));
    VARIANT arg = Int(1);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    VARIANT result = Int(99);
    EXPECT_EQ(S_OK, object->InvokeEx(n, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(99, result.lVal);
    const DISPID empty = EnsureId(L"empty");
    EXPECT_EQ(S_OK,
              object->InvokeEx(empty, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    // A dispatch slot holding no object is nothing to call either.
    VARIANT nothing;
    VariantInit(&nothing);
    nothing.vt = VT_DISPATCH;
    nothing.pdispVal = nullptr;
    ASSERT_EQ(S_OK, Put(empty, nothing));
    EXPECT_EQ(S_OK,
              object->InvokeEx(empty, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    EXPECT_EQ(99, result.lVal);
}

TEST_F(Bridge, CallingAnExpandoFunctionPassesTheCallOn) {
    for (bool withDispatchEx : {true, false}) {
        FakeFunction function(withDispatchEx);
        function.answer = S_OK;
        function.resultValue = 42;
        const DISPID f = EnsureId(withDispatchEx ? L"fx" : L"f");
        VARIANT holder;
        VariantInit(&holder);
        holder.vt = VT_DISPATCH;
        holder.pdispVal = &function;
        ASSERT_EQ(S_OK, Put(f, holder));

        VARIANT args[2] = {Int(3), Int(2)};
        DISPPARAMS params = {args, nullptr, 2, 0};
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO exception = {};
        IServiceProvider* caller = reinterpret_cast<IServiceProvider*>(0x1234);
        EXPECT_EQ(S_OK, object->InvokeEx(f, 0x409, DISPATCH_METHOD, &params, &result, &exception,
                                         caller));
        ASSERT_EQ(1u, function.calls.size());
        const FakeFunction::Call& call = function.calls[0];
        EXPECT_EQ(withDispatchEx, call.viaInvokeEx);
        EXPECT_EQ(DISPID_VALUE, call.id);
        EXPECT_TRUE(call.iidIsNull);
        EXPECT_EQ(0x409u, call.locale);
        EXPECT_EQ(DISPATCH_METHOD, call.flags);
        EXPECT_EQ(&params, call.params);
        EXPECT_EQ((std::vector<long>{3, 2}), call.intArguments);
        EXPECT_EQ(&result, call.result);
        EXPECT_EQ(&exception, call.exception);
        if (withDispatchEx) {
            EXPECT_EQ(caller, call.caller);
        } else {
            EXPECT_EQ(nullptr, call.argumentError);
        }
        EXPECT_EQ(VT_I4, result.vt);
        EXPECT_EQ(42, result.lVal);

        // The callee's failure comes back unchanged.
        function.answer = DISP_E_EXCEPTION;
        EXPECT_EQ(DISP_E_EXCEPTION,
                  object->InvokeEx(f, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
        // Only the member's own reference is left.
        EXPECT_EQ(1, function.refs);
        ASSERT_EQ(S_OK, object->DeleteMemberByDispID(f));
        EXPECT_EQ(0, function.refs);
    }
}

TEST_F(Bridge, DeletedMemberIsGoneUntilEnsuredAgain) {
    const DISPID x = EnsureId(L"x");
    ASSERT_EQ(S_OK, Put(x, Int(5)));
    EXPECT_EQ(S_OK, object->DeleteMemberByName(Bstr(L"x"), 0));
    EXPECT_EQ(htmlui::DeletedMemberType, object->DynamicMembers()[0].value.vt);

    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Id(L"x", 0, &id));
    EXPECT_EQ(-1, id);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Id(L"X", fdexNameCaseInsensitive, &id));
    // A stale identifier reads nothing.
    VARIANT value;
    EXPECT_NE(S_OK, Get(x, &value));
    // Ensure revives the same row, empty.
    EXPECT_EQ(S_OK, Id(L"x", fdexNameEnsure, &id));
    EXPECT_EQ(x, id);
    ASSERT_EQ(S_OK, Get(x, &value));
    EXPECT_EQ(VT_EMPTY, value.vt);
    EXPECT_EQ(1u, object->DynamicMemberCount());

    // Deleting by identifier, twice, and a row that does not exist.
    EXPECT_EQ(S_OK, object->DeleteMemberByDispID(x));
    EXPECT_EQ(S_OK, object->DeleteMemberByDispID(x));
    EXPECT_EQ(S_OK, object->DeleteMemberByDispID(Dynamic0 | 99));
    EXPECT_EQ(S_OK, object->DeleteMemberByName(Bstr(L"never"), 0));
    EXPECT_EQ(1u, object->DynamicMemberCount());

    // Delete with Ensure creates the member first, then marks it deleted.
    EXPECT_EQ(S_OK, object->DeleteMemberByName(Bstr(L"y"), fdexNameEnsure));
    EXPECT_EQ(2u, object->DynamicMemberCount());
    EXPECT_EQ(DISP_E_UNKNOWNNAME, Id(L"y", 0, &id));
    EXPECT_EQ(S_OK, Id(L"y", fdexNameEnsure, &id));
    EXPECT_EQ(Dynamic0 | 1, id);
}

TEST_F(Bridge, MethodsCannotBeDeleted) {
    EXPECT_EQ(S_FALSE, object->DeleteMemberByName(Bstr(L"record"), 0));
    EXPECT_EQ(S_FALSE, object->DeleteMemberByName(Bstr(L"RECORD"), fdexNameCaseInsensitive));
    EXPECT_EQ(S_FALSE, object->DeleteMemberByDispID(2));
    EXPECT_EQ(S_FALSE, object->DeleteMemberByDispID(0));
    DISPID id = 0;
    EXPECT_EQ(S_OK, Id(L"record", 0, &id));
    EXPECT_EQ(2, id);
    VARIANT arg = Int(6);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    EXPECT_EQ(S_OK, object->InvokeEx(2, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    EXPECT_EQ(std::vector<long>{6}, object->recorded);
}

TEST_F(Bridge, ManyMembersKeepTheirRowsAcrossGrowth) {
    // 33 members: the 33rd makes the array grow a second time (to 64 rows).
    for (int i = 0; i < 70; ++i) {
        const std::wstring name = L"m" + std::to_wstring(i);
        const DISPID id = EnsureId(name.c_str());
        EXPECT_EQ(static_cast<DISPID>(Dynamic0 | i), id);
        ASSERT_EQ(S_OK, Put(id, Int(i * 10)));
    }
    EXPECT_EQ(70u, object->DynamicMemberCount());
    for (int i = 0; i < 70; ++i) {
        const std::wstring name = L"m" + std::to_wstring(i);
        DISPID id = 0;
        ASSERT_EQ(S_OK, Id(name.c_str(), 0, &id));
        EXPECT_EQ(static_cast<DISPID>(Dynamic0 | i), id);
        VARIANT value;
        ASSERT_EQ(S_OK, Get(id, &value));
        EXPECT_EQ(i * 10, value.lVal);
    }
}

TEST(DynamicMemberGrowth, GrowsBy32RowsAtEveryMultipleOf32AndRefusesOverflow) {
    const ULONG row = sizeof(htmlui::DynamicMember);
    struct Case {
        ULONG count;
        ULONG rowSize;
        bool grow;
        bool fits;
        ULONG rows;
    };
    const Case cases[] = {
        {0, row, true, true, 32},
        {1, row, false, true, 0},
        {31, row, false, true, 0},
        {32, row, true, true, 64},
        {33, row, false, true, 0},
        {64, row, true, true, 96},
        {178956928, 24, true, true, 178956960}, // 4294967040 bytes: fits
        {178956960, 24, true, false, 0},        // 4294967808 bytes: does not
        {0xFFFFFFE0u, 1, true, false, 0},       // the row count itself overflows
        {0xFFFFFFE1u, 1, false, true, 0},
    };
    for (const Case& c : cases) {
        const DynamicMemberGrowthPlan plan = PlanDynamicMemberGrowth(c.count, c.rowSize);
        EXPECT_EQ(c.grow, plan.grow) << c.count;
        EXPECT_EQ(c.fits, plan.fits) << c.count;
        if (c.grow && c.fits) {
            EXPECT_EQ(c.rows, plan.newRows) << c.count;
            EXPECT_EQ(c.rows * c.rowSize, plan.newBytes) << c.count;
        }
    }
}

TEST(CallJscallback, CallsTheFunctionWithOneNumberAndLogsTheResult) {
    LogFile log;
    ASSERT_FALSE(log.path.empty());
    FakeFunction function(true);
    function.answer = DISP_E_EXCEPTION;
    EXPECT_EQ(DISP_E_EXCEPTION, htmlui::MSHTMLExternal::callJscallback(&log, &function, 3));
    ASSERT_EQ(1u, function.calls.size());
    const FakeFunction::Call& call = function.calls[0];
    EXPECT_FALSE(call.viaInvokeEx); // plain Invoke, as on a marshalled proxy
    EXPECT_EQ(DISPID_VALUE, call.id);
    EXPECT_TRUE(call.iidIsNull);
    EXPECT_EQ(0u, call.locale);
    EXPECT_EQ(DISPATCH_METHOD, call.flags);
    EXPECT_EQ(std::vector<VARTYPE>{VT_I4}, call.types);
    EXPECT_EQ(std::vector<long>{3}, call.intArguments);
    EXPECT_EQ(0u, call.namedCount);
    EXPECT_EQ(nullptr, call.result);
    EXPECT_EQ(nullptr, call.exception);
    EXPECT_EQ(nullptr, call.argumentError);

    function.answer = S_OK;
    EXPECT_EQ(S_OK, htmlui::MSHTMLExternal::callJscallback(&log, &function, -7));
    EXPECT_EQ(std::vector<long>{-7}, function.calls[1].intArguments);
    EXPECT_EQ(0, function.refs);

    const std::string text = testutil::ReadFileBytes(log.path);
    const std::string first = "DEBUG] call js callback.";
    const size_t a = text.find(first);
    ASSERT_NE(std::string::npos, a) << text;
    const size_t b = text.find("DEBUG] callJscallback return 80020009.", a);
    ASSERT_NE(std::string::npos, b) << text;
    const size_t c = text.find(first, b);
    ASSERT_NE(std::string::npos, c) << text;
    EXPECT_NE(std::string::npos, text.find("DEBUG] callJscallback return 0.", c)) << text;
}

TEST(CallJscallback, MissingCallbackIsReportedNotCalled) {
    LogFile log;
    EXPECT_EQ(E_POINTER, htmlui::MSHTMLExternal::callJscallback(&log, nullptr, 1));
    EXPECT_EQ(E_POINTER, htmlui::MSHTMLExternal::callJscallback(nullptr, nullptr, 1));
    const std::string text = testutil::ReadFileBytes(log.path);
    EXPECT_NE(std::string::npos, text.find("callJscallback return 80004003.")) << text;
}

} // namespace
