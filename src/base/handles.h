// Owners for the handles and heap blocks that an operation acquires. Each one
// releases what it holds when the operation's scope ends, on every path, in
// reverse order of acquisition.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

class RegKey {
public:
    RegKey() = default;
    ~RegKey() { Close(); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    HKEY get() const { return key_; }
    // For the out-parameter of RegOpenKey* and RegCreateKeyExW.
    HKEY* receive() { Close(); return &key_; }
    void Close() {
        if (key_) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

private:
    HKEY key_ = nullptr;
};

// A handle from CreateFileW, which reports failure as INVALID_HANDLE_VALUE.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (valid()) CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// A zero-filled block on the process heap.
class HeapBlock {
public:
    HeapBlock() = default;
    ~HeapBlock() { Free(); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    bool Allocate(SIZE_T bytes) {
        Free();
        data_ = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1);
        bytes_ = data_ ? bytes : 0;
        return data_ != nullptr;
    }
    void Free() {
        if (data_) {
            HeapFree(GetProcessHeap(), 0, data_);
            data_ = nullptr;
            bytes_ = 0;
        }
    }
    void* get() const { return data_; }
    SIZE_T bytes() const { return bytes_; }
    wchar_t* units() const { return static_cast<wchar_t*>(data_); }
    int32_t unitCapacity() const { return static_cast<int32_t>(bytes_ / sizeof(wchar_t)); }

private:
    void* data_ = nullptr;
    SIZE_T bytes_ = 0;
};

}  // namespace vtpi
