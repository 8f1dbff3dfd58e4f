#include "testbed.h"

#include <gtest/gtest.h>

#include "registry.h"

namespace testbed {

bool OnWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

NativeFiles::NativeFiles() {
    if (OnWow64()) off_ = Wow64DisableWow64FsRedirection(&previous_) != FALSE;
}

NativeFiles::~NativeFiles() {
    if (off_) Wow64RevertWow64FsRedirection(previous_);
}

std::wstring Standin(const wchar_t* name) { return std::wstring(L"C:\\testbed\\standins\\") + name; }

std::wstring SystemDriverCopy() {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\drivers\\veltrane.sys";
}

void PlaceFile(const wchar_t* name, const std::wstring& target) {
    NativeFiles native;
    if (!name) {
        if (FileExists(target)) {
            EXPECT_TRUE(DeleteFileW(target.c_str())) << GetLastError();
        }
        return;
    }
    EXPECT_TRUE(CopyFileW(Standin(name).c_str(), target.c_str(), FALSE)) << GetLastError();
}

bool FileExists(const std::wstring& path) {
    NativeFiles native;
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<BYTE> FileBytes(const std::wstring& path) {
    NativeFiles native;
    std::vector<BYTE> bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    BYTE chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read) bytes.insert(bytes.end(), chunk, chunk + read);
    CloseHandle(file);
    return bytes;
}

HeldFile::HeldFile(const std::wstring& path)
    : ready_(CreateEventW(nullptr, TRUE, FALSE, L"vtpi_hold_ready")),
      release_(CreateEventW(nullptr, TRUE, FALSE, L"vtpi_hold_release")) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring program = self;
    program.erase(program.find_last_of(L'\\') + 1);
    program += L"hold_file.exe";
    std::wstring command = L"\"" + program + L"\" \"" + path + L"\" vtpi_hold_ready vtpi_hold_release";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process_)) {
        ADD_FAILURE() << "hold_file did not start: " << GetLastError();
        return;
    }
    const HANDLE either[] = {ready_, process_.hProcess};
    held_ = WaitForMultipleObjects(2, either, FALSE, 60000) == WAIT_OBJECT_0;
    EXPECT_TRUE(held_) << "hold_file did not open the file";
}

HeldFile::~HeldFile() {
    SetEvent(release_);
    if (process_.hProcess) {
        WaitForSingleObject(process_.hProcess, 60000);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
    CloseHandle(ready_);
    CloseHandle(release_);
}

uint64_t FileVersion(const std::wstring& path) {
    NativeFiles native;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (!size) return 0;
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), handle, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        return 0;
    }
    return (uint64_t(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
}

namespace {

std::wstring ParametersKey(const wchar_t* service) {
    return std::wstring(L"System\\CurrentControlSet\\Services\\") + service + L"\\Parameters";
}

}  // namespace

std::vector<Request> Requests(const wchar_t* service) {
    const testreg::Stored record = testreg::ReadValue(ParametersKey(service).c_str(), L"Requests");
    std::vector<Request> out;
    const std::vector<BYTE>& b = record.bytes;
    size_t pos = 0;
    while (pos + 8 <= b.size()) {
        Request r;
        DWORD length;
        memcpy(&r.code, &b[pos], 4);
        memcpy(&length, &b[pos + 4], 4);
        pos += 8;
        if (pos + length > b.size()) {
            ADD_FAILURE() << "malformed request record";
            break;
        }
        r.input.assign(b.begin() + pos, b.begin() + pos + length);
        pos += length;
        out.push_back(r);
    }
    return out;
}

void ClearRequests(const wchar_t* service) { testreg::DeleteValue(ParametersKey(service).c_str(), L"Requests"); }

std::vector<uint32_t> LockValues() {
    std::vector<uint32_t> values;
    for (const Request& r : Requests(L"RsvLock")) {
        EXPECT_EQ(0x002220CCu, r.code);
        EXPECT_EQ(4u, r.input.size());
        uint32_t v = 0xFFFFFFFF;
        if (r.input.size() == 4) memcpy(&v, r.input.data(), 4);
        values.push_back(v);
    }
    return values;
}

namespace {

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

ScratchDir::ScratchDir(const wchar_t* name) : path_(std::wstring(L"C:\\testbed\\") + name) {
    RemoveTree(path_);
    EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr)) << GetLastError();
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

vtpi::InstallPaths InstallPathsFor(const std::wstring& folder) {
    vtpi::InstallPaths paths = {};
    EXPECT_TRUE(vtpi::BuildInstallPaths(folder.c_str(), paths)) << testing::PrintToString(folder);
    return paths;
}

}  // namespace testbed
