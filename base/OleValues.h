#pragma once

#include <windows.h>

#include <oaidl.h>
#include <oleauto.h>

// Owns one BSTR (NULL is the empty string) and frees it with SysFreeString.
class Bstr {
public:
    Bstr() : value_(nullptr) {}
    // A copy of `text`; Get() is NULL when memory runs out.
    explicit Bstr(const wchar_t* text) : value_(text ? SysAllocString(text) : nullptr) {}
    ~Bstr() { SysFreeString(value_); }

    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : value_(other.Release()) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    BSTR Get() const { return value_; }
    const wchar_t* Text() const { return value_ ? value_ : L""; }
    UINT Length() const { return SysStringLen(value_); }

    void Reset(BSTR value = nullptr) {
        if (value_ != value) {
            SysFreeString(value_);
        }
        value_ = value;
    }
    BSTR Release() {
        BSTR value = value_;
        value_ = nullptr;
        return value;
    }
    // For calls that return a BSTR through a pointer; frees any owned one first.
    BSTR* Receive() {
        Reset();
        return &value_;
    }

private:
    BSTR value_;
};

// Owns one VARIANT and clears it with VariantClear.
class Variant {
public:
    Variant() { VariantInit(&value_); }
    ~Variant() { VariantClear(&value_); }

    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT* Get() { return &value_; }
    const VARIANT* Get() const { return &value_; }
    VARTYPE Type() const { return value_.vt; }

    // Clears the value and hands out the empty VARIANT to be filled.
    VARIANT* Receive() {
        VariantClear(&value_);
        return &value_;
    }

private:
    VARIANT value_;
};
