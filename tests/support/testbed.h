// The testbed's stand-in components as test programs see them: the driver
// files, the requests the stand-in drivers recorded, and scratch folders.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "steps/install_paths.h"

namespace testbed {

// True on the 64-bit machine, where this 32-bit program runs under WoW64.
bool OnWow64();

// On the 64-bit machine, turns this thread's file-system redirection off for
// the object's lifetime, so that the system directory is the native one.
class NativeFiles {
public:
    NativeFiles();
    ~NativeFiles();
    NativeFiles(const NativeFiles&) = delete;
    NativeFiles& operator=(const NativeFiles&) = delete;

private:
    void* previous_ = nullptr;
    bool off_ = false;
};

// Built stand-ins, copied into the prefix by prepare-machine (on the 64-bit
// machine, the drivers among them are the x86-64 builds).
std::wstring Standin(const wchar_t* name);
// <system directory>\drivers\veltrane.sys, the path the DLL uses; the file
// helpers below reach it in the native system directory.
std::wstring SystemDriverCopy();

// Replaces `target` with a copy of the stand-in `name`, or deletes it when
// `name` is null.
void PlaceFile(const wchar_t* name, const std::wstring& target);
bool FileExists(const std::wstring& path);
// The file's bytes; empty when it cannot be read.
std::vector<BYTE> FileBytes(const std::wstring& path);
// The fixed file version, 0 when there is none.
uint64_t FileVersion(const std::wstring& path);
constexpr uint64_t Version(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    return (uint64_t(a) << 48) | (uint64_t(b) << 32) | (uint64_t(c) << 16) | d;
}

// One device control request as a stand-in driver recorded it.
struct Request {
    DWORD code;
    std::vector<BYTE> input;
    bool operator==(const Request& o) const { return code == o.code && input == o.input; }
};
// Requests recorded by service "Veltrane" (\\.\VELTRANE) or "RsvLock" (\\.\RSVLOCK).
std::vector<Request> Requests(const wchar_t* service);
void ClearRequests(const wchar_t* service);
// The lock values that \\.\RSVLOCK received, in order.
std::vector<uint32_t> LockValues();

// Keeps a file open, sharing reading only, from another process (the
// hold_file program beside this one) for the object's lifetime.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool held() const { return held_; }

private:
    HANDLE ready_, release_;
    PROCESS_INFORMATION process_ = {};
    bool held_ = false;
};

// A fresh empty folder C:\testbed\<name>, removed with its files by the destructor.
class ScratchDir {
public:
    explicit ScratchDir(const wchar_t* name);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// The paths the library builds from `folder`, which must outlive them; fails
// the test for a folder the library refuses.
vtpi::InstallPaths InstallPathsFor(const std::wstring& folder);

}  // namespace testbed
