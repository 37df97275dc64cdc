#pragma once

#include <windows.h>

#include <utility>

// Owns one handle and closes it with its traits' Close when it goes out of
// scope. Traits give the handle type, the value that means "no handle" and the
// close call:
//   struct Traits { typedef H Type; static H Invalid(); static void Close(H); };
template <class Traits>
class UniqueHandle {
public:
    typedef typename Traits::Type Type;

    UniqueHandle() : handle_(Traits::Invalid()) {}
    explicit UniqueHandle(Type handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    bool IsValid() const { return handle_ != Traits::Invalid(); }
    explicit operator bool() const { return IsValid(); }
    Type Get() const { return handle_; }

    // Closes the owned handle (if any) and takes `handle`.
    void Reset(Type handle = Traits::Invalid()) {
        if (handle_ != Traits::Invalid()) {
            Traits::Close(handle_);
        }
        handle_ = handle;
    }

    // Gives the handle up without closing it.
    Type Release() {
        Type handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    // For calls that return a handle through a pointer; closes any owned one first.
    Type* Receive() {
        Reset();
        return &handle_;
    }

private:
    Type handle_;
};

// Files and other handles from CreateFileW, where INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
    typedef HANDLE Type;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
typedef UniqueHandle<FileHandleTraits> FileHandle;

// Threads, processes, events, mutexes and tokens, where NULL means none.
struct KernelHandleTraits {
    typedef HANDLE Type;
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
typedef UniqueHandle<KernelHandleTraits> KernelHandle;

// FindFirstFileW searches.
struct FindHandleTraits {
    typedef HANDLE Type;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { FindClose(handle); }
};
typedef UniqueHandle<FindHandleTraits> FindHandle;

// Registry keys.
struct RegistryKeyTraits {
    typedef HKEY Type;
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY key) { RegCloseKey(key); }
};
typedef UniqueHandle<RegistryKeyTraits> RegistryKey;
