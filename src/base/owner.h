// One owner for every kind of handle an operation acquires: it releases what
// it holds when the operation's scope ends, on every path, and owners end in
// reverse order of acquisition.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

// `Kind` names the handle type, the value that means "no handle" for the API
// that produces it, and how a handle is released.
template <typename Kind>
class Owner {
public:
    using Handle = typename Kind::Handle;

    Owner() = default;
    explicit Owner(Handle handle) : handle_(handle) {}
    ~Owner() { Close(); }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    Handle get() const { return handle_; }
    bool valid() const { return handle_ != Kind::None(); }
    explicit operator bool() const { return valid(); }
    // For an out-parameter (RegOpenKeyExW and the like): what was held is
    // released first.
    Handle* receive() {
        Close();
        return &handle_;
    }
    void Close() {
        if (valid()) Kind::Release(handle_);
        handle_ = Kind::None();
    }

private:
    Handle handle_ = Kind::None();
};

struct RegistryKeyKind {
    using Handle = HKEY;
    static Handle None() { return nullptr; }
    static void Release(Handle key) { RegCloseKey(key); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE.
struct FileKind {
    using Handle = HANDLE;
    static Handle None() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle file) { CloseHandle(file); }
};

struct FindKind {
    using Handle = HANDLE;
    static Handle None() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle search) { FindClose(search); }
};

// A service or the service control manager.
struct ServiceKind {
    using Handle = SC_HANDLE;
    static Handle None() { return nullptr; }
    static void Release(Handle service) { CloseServiceHandle(service); }
};

struct ModuleKind {
    using Handle = HMODULE;
    static Handle None() { return nullptr; }
    static void Release(Handle module) { FreeLibrary(module); }
};

struct HeapKind {
    using Handle = void*;
    static Handle None() { return nullptr; }
    static void Release(Handle block) { HeapFree(GetProcessHeap(), 0, block); }
};

using RegKey = Owner<RegistryKeyKind>;
using FileHandle = Owner<FileKind>;
using FindHandle = Owner<FindKind>;
using ServiceHandle = Owner<ServiceKind>;
using ModuleHandle = Owner<ModuleKind>;

// A zero-filled block on the process heap, with its size.
class HeapBlock {
public:
    bool Allocate(SIZE_T bytes) {
        Free();
        *data_.receive() = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1);
        bytes_ = data_ ? bytes : 0;
        return data_.valid();
    }
    void Free() {
        data_.Close();
        bytes_ = 0;
    }
    void* get() const { return data_.get(); }
    SIZE_T bytes() const { return bytes_; }
    wchar_t* units() const { return static_cast<wchar_t*>(data_.get()); }
    int32_t unitCapacity() const { return static_cast<int32_t>(bytes_ / sizeof(wchar_t)); }

private:
    Owner<HeapKind> data_;
    SIZE_T bytes_ = 0;
};

}  // namespace vtpi
