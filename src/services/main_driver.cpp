#include "services/main_driver.h"

#include "base/diagnostics.h"
#include "base/handles.h"
#include "base/system_library.h"
#include "base/text.h"
#include "base/wow64.h"

namespace vtpi {

namespace {

// The version-resource functions of VERSION.DLL, which is not a known DLL:
// loaded from the system directory for one refresh and freed after it.
class VersionLibrary {
public:
    VersionLibrary() : library_(L"VERSION.DLL") {
        ok_ = library_.get() && LookUp(library_.get(), "GetFileVersionInfoSizeW", getSize_) &&
              LookUp(library_.get(), "GetFileVersionInfoW", getInfo_) &&
              LookUp(library_.get(), "VerQueryValueW", query_);
    }
    bool ok() const { return ok_; }

    // The file version (dwFileVersionMS:dwFileVersionLS); 0 when there is
    // none, or when the resource's fixed block is short or lacks its signature.
    uint64_t FileVersion(const wchar_t* path) const {
        DWORD handle = 0;
        const DWORD size = getSize_(path, &handle);
        if (size == 0) return 0;
        HeapBlock info;
        if (!info.Allocate(size)) return 0;
        if (!getInfo_(path, handle, size, info.get())) return 0;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (!query_(info.get(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) return 0;
        if (length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != kFixedFileInfoSignature) return 0;
        return (static_cast<uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
    }

private:
    SystemLibrary library_;
    bool ok_ = false;
    decltype(&GetFileVersionInfoSizeW) getSize_ = nullptr;
    decltype(&GetFileVersionInfoW) getInfo_ = nullptr;
    decltype(&VerQueryValueW) query_ = nullptr;
};

// The install directory's copy: exactly one backslash before the file name.
bool BuildInstallCopyPath(wchar_t* path, int32_t capacity, const wchar_t* installDir) {
    if (!CopyString(path, capacity, installDir)) return false;
    const int32_t length = BoundedLength(path, capacity);
    if ((length == 0 || path[length - 1] != L'\\') && !AppendString(path, capacity, L"\\")) return false;
    return AppendString(path, capacity, L"veltrane.sys");
}

// Any directory entry of that name in the native file system.
bool NativeEntryExists(const wchar_t* path) {
    NativeFileSystem native;
    if (!native.ok()) return NoteLastError();
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) return NoteError(ERROR_FILE_NOT_FOUND);
    FindClose(search);
    return true;
}

// Deletes a file, clearing a read-only attribute (copied from a read-only
// install copy) when that is what refuses the deletion.
void DeleteFileEvenReadOnly(const wchar_t* path) {
    if (DeleteFileW(path) || GetLastError() != ERROR_ACCESS_DENIED) return;
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path);
}

// The install copy staged under a fixed name beside the system copy, so that
// replacing the system copy is a rename within one folder. A staged file left
// by a run that was killed is removed first; this run's is removed when the
// scope ends unless it was moved into place.
class StagedDriver {
public:
    explicit StagedDriver(const wchar_t* path) : path_(path) { DeleteFileEvenReadOnly(path_); }
    ~StagedDriver() {
        if (!moved_) DeleteFileEvenReadOnly(path_);
    }
    StagedDriver(const StagedDriver&) = delete;
    StagedDriver& operator=(const StagedDriver&) = delete;

    // Copies `source` here; the version of the copied bytes, 0 when the copy
    // failed or carries none.
    uint64_t CopyFrom(const wchar_t* source, const VersionLibrary& version) {
        if (!CopyFileW(source, path_, FALSE)) return 0;
        return version.FileVersion(path_);
    }
    // Replaces `target` in one step; a failed move leaves it as it was.
    bool MoveOver(const wchar_t* target) {
        moved_ = MoveFileExW(path_, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        return moved_;
    }

private:
    const wchar_t* path_;
    bool moved_ = false;
};

// "002220CC 01000000": the request's code and input bytes, for the trace.
void TraceRequest(const wchar_t* device, DWORD code, const void* input, DWORD inputBytes, const wchar_t* outcome,
                  DWORD error) {
    wchar_t bytes[2 * 8 + 1] = {};
    for (DWORD i = 0; i < inputBytes && i < 8; ++i) {
        wsprintfW(bytes + 2 * i, L"%02X", static_cast<const BYTE*>(input)[i]);
    }
    Trace(L"  request %08lX %s to %s: %s, error %lu", code, bytes, device, outcome, error);
}

BOOL SendRequest(const wchar_t* device, DWORD code, const void* input, DWORD inputBytes) {
    FileHandle handle(OpenDeviceWriteThrough(device, GENERIC_ALL));
    if (!handle.valid()) {
        TraceRequest(device, code, input, inputBytes, L"device did not open", GetLastError());
        return FALSE;
    }
    DWORD returned = 0;
    const BOOL sent = DeviceIoControl(handle.get(), code, const_cast<void*>(input), inputBytes, nullptr, 0,
                                      &returned, nullptr);
    TraceRequest(device, code, input, inputBytes, sent ? L"done" : L"refused", sent ? 0 : GetLastError());
    return sent;
}

// "2.1.0.5", or "none".
void FormatVersion(wchar_t (&text)[32], uint64_t version) {
    if (version == 0) {
        CopyString(text, 32, L"none");
        return;
    }
    wsprintfW(text, L"%u.%u.%u.%u", static_cast<unsigned>(version >> 48), static_cast<unsigned>((version >> 32) & 0xFFFF),
              static_cast<unsigned>((version >> 16) & 0xFFFF), static_cast<unsigned>(version & 0xFFFF));
}

void TraceVersions(uint64_t systemVersion, uint64_t installVersion, const wchar_t* decision) {
    wchar_t system[32], install[32];
    FormatVersion(system, systemVersion);
    FormatVersion(install, installVersion);
    Trace(L"  driver refresh: system copy %s, install copy %s: %s", system, install, decision);
}

}  // namespace

BOOL IsMainDriverInstalled() {
    wchar_t path[MAX_PATH] = {};
    if (!BuildSystemPath(path, MAX_PATH, L"\\Drivers\\VELTRANE.SYS")) return NoteLastError();
    if (!NativeEntryExists(path)) return FALSE;

    RegKey key;
    const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMainDriverServiceKey, 0, KEY_READ, key.receive());
    return rc == ERROR_SUCCESS || NoteError(rc);
}

void RefreshMainDriverFile(const wchar_t* installDir) {
    wchar_t systemCopy[MAX_PATH] = {};
    wchar_t stagedCopy[MAX_PATH] = {};
    wchar_t installCopy[MAX_PATH] = {};
    if (!BuildSystemPath(systemCopy, MAX_PATH, L"\\drivers\\veltrane.sys")) return;
    if (!CopyString(stagedCopy, MAX_PATH, systemCopy) || !AppendString(stagedCopy, MAX_PATH, kStagedSuffix)) return;
    // Loaded before redirection goes off, so that it comes from the 32-bit
    // system directory under WoW64; freed after redirection is back on.
    const VersionLibrary version;
    if (!version.ok()) {
        Trace(L"  driver refresh: VERSION.DLL not loaded, error %lu: skipped", GetLastError());
        return;
    }
    NativeFileSystem native;
    if (!native.ok()) {
        Trace(L"  driver refresh: native drivers folder out of reach, error %lu: skipped", GetLastError());
        return;
    }
    const uint64_t systemVersion = version.FileVersion(systemCopy);
    if (!BuildInstallCopyPath(installCopy, MAX_PATH, installDir)) return;

    // Everything below compares and installs the staged bytes, never the
    // install copy itself, which could change after it was checked.
    StagedDriver staged(stagedCopy);
    const uint64_t installVersion = staged.CopyFrom(installCopy, version);
    if (installVersion == 0) {
        TraceVersions(systemVersion, installVersion, L"not replaced");
        // An install copy without a version still warns the lock device.
        if (systemVersion != 0) SetReservedSectorLock(0);
        return;
    }
    // Versions compare as unsigned numbers: a major part of 0x8000 is higher.
    if (systemVersion >= installVersion) {
        TraceVersions(systemVersion, installVersion, L"not newer, not replaced");
        return;
    }
    SetReservedSectorLock(0);
    const bool moved = staged.MoveOver(systemCopy);
    const DWORD error = moved ? ERROR_SUCCESS : GetLastError();
    TraceVersions(systemVersion, installVersion, moved ? L"replaced" : L"move failed, not replaced");
    if (!moved) Trace(L"  driver refresh: error %lu", error);
    SetReservedSectorLock(1);
}

HANDLE OpenDeviceWriteThrough(const wchar_t* deviceName, DWORD access) {
    return CreateFileW(deviceName, access, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, nullptr);
}

BOOL ClearMainDeviceCompression() {
    const USHORT format = 0;  // COMPRESSION_FORMAT_NONE
    return SendRequest(kMainControlDevice, kSetCompressionCode, &format, sizeof(format));
}

void SetReservedSectorLock(uint32_t lockValue) {
    SendRequest(kLockDevice, kReservedSectorLockCode, &lockValue, sizeof(lockValue));
}

}  // namespace vtpi
