#include "steps/driver_refresh.h"

#include "base/files.h"
#include "base/system_library.h"
#include "base/text.h"
#include "base/trace.h"
#include "base/wow64.h"
#include "steps/main_driver.h"

namespace vtpi {

namespace {

// Sends the reserved-sector lock device one lock value; a device that does
// not open is skipped.
void SetReservedSectorLock(uint32_t lockValue) {
    SendDeviceRequest(kLockDevice, kReservedSectorLockCode, &lockValue, sizeof(lockValue));
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
    uint64_t CopyFrom(const wchar_t* source, const FileVersions& versions) {
        if (!CopyFileW(source, path_, FALSE)) return 0;
        return versions.Of(path_);
    }
    // Writes the staged bytes through to the disk, so that the name moved
    // into place never points at data still in the cache. A copy made
    // read-only by a read-only install copy is flushed with the attribute
    // cleared and gets it back.
    bool Flush() {
        FileHandle file(OpenForWriting());
        const bool readOnly = !file && GetLastError() == ERROR_ACCESS_DENIED &&
                              SetFileAttributesW(path_, FILE_ATTRIBUTE_NORMAL);
        if (readOnly) *file.receive() = OpenForWriting();
        const bool flushed = file && FlushFileBuffers(file.get());
        file.Close();
        if (readOnly) SetFileAttributesW(path_, FILE_ATTRIBUTE_READONLY);
        return flushed;
    }
    // Replaces `target` in one step; a failed move leaves it as it was.
    bool MoveOver(const wchar_t* target) {
        moved_ = MoveFileExW(path_, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        return moved_;
    }

private:
    HANDLE OpenForWriting() const {
        return CreateFileW(path_, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    const wchar_t* path_;
    bool moved_ = false;
};

// "2.1.0.5", or "none".
void FormatVersion(wchar_t (&text)[32], uint64_t version) {
    if (version == 0) {
        CopyString(text, 32, L"none");
        return;
    }
    wsprintfW(text, L"%u.%u.%u.%u", static_cast<unsigned>(version >> 48), static_cast<unsigned>((version >> 32) & 0xFFFF),
              static_cast<unsigned>((version >> 16) & 0xFFFF), static_cast<unsigned>(version & 0xFFFF));
}

void TraceVersions(uint64_t systemVersion, uint64_t installVersion, const char* decision) {
    wchar_t system[32], install[32];
    FormatVersion(system, systemVersion);
    FormatVersion(install, installVersion);
    Trace("  driver refresh: system copy %s, install copy %s: %hs", system, install, decision);
}

const char* MachineName(WORD machine) {
    return machine == IMAGE_FILE_MACHINE_I386    ? "i386"
           : machine == IMAGE_FILE_MACHINE_AMD64 ? "x86-64"
                                                 : "another processor";
}

// The system copy's path in the system directory and the staged copy's
// beside it.
bool BuildDriverPaths(wchar_t (&systemCopy)[MAX_PATH], wchar_t (&stagedCopy)[MAX_PATH]) {
    return BuildSystemDriverPath(systemCopy) &&
           CopyString(stagedCopy, MAX_PATH, systemCopy) && AppendString(stagedCopy, MAX_PATH, kStagedSuffix);
}

// The refresh skipped for `why`, with the error the failed call left.
DWORD Skipped(const char* why) {
    const DWORD error = LastErrorOrGeneric();
    Trace("  driver refresh: %hs, error %lu: skipped", why, error);
    return error;
}

}  // namespace

DWORD RefreshMainDriver(const wchar_t* installCopy) {
    const DWORD refreshed = RefreshMainDriverFile(installCopy);
    ClearMainDeviceCompression();
    return refreshed == ERROR_BAD_EXE_FORMAT ? refreshed : ERROR_SUCCESS;
}

DWORD RefreshMainDriverFile(const wchar_t* installCopy) {
    wchar_t systemCopy[MAX_PATH] = {};
    wchar_t stagedCopy[MAX_PATH] = {};
    if (!BuildDriverPaths(systemCopy, stagedCopy)) return ERROR_BUFFER_OVERFLOW;
    // Loaded before redirection goes off, so that it comes from the 32-bit
    // system directory under WoW64; freed after redirection is back on.
    const FileVersions versions;
    if (!versions.ok()) return Skipped("VERSION.DLL not loaded");
    NativeFileSystem native;
    if (!native.ok()) return Skipped("native drivers folder out of reach");
    const uint64_t systemVersion = versions.Of(systemCopy);

    // Everything below compares and installs the staged bytes, never the
    // install copy itself, which could change after it was checked.
    StagedDriver staged(stagedCopy);
    const uint64_t installVersion = staged.CopyFrom(installCopy, versions);
    if (installVersion == 0) {
        TraceVersions(systemVersion, installVersion, "not replaced");
        // An install copy without a version still warns the lock device.
        if (systemVersion != 0) SetReservedSectorLock(0);
        return ERROR_SUCCESS;
    }
    // Versions compare as unsigned numbers: a major part of 0x8000 is higher.
    if (systemVersion >= installVersion) {
        TraceVersions(systemVersion, installVersion, "not newer, not replaced");
        return ERROR_SUCCESS;
    }
    // A boot driver that cannot load leaves every disk without its stack.
    const WORD machine = ReadImageMachine(stagedCopy);
    const WORD thisMachine = NativeMachine();
    if (machine != thisMachine || thisMachine == 0) {
        TraceVersions(systemVersion, installVersion, "not replaced");
        Trace("  driver refresh: install copy built for %hs (machine %04x), this machine %hs", MachineName(machine),
              machine, MachineName(thisMachine));
        return ERROR_BAD_EXE_FORMAT;
    }
    if (!staged.Flush()) {
        const DWORD error = LastErrorOrGeneric();
        TraceVersions(systemVersion, installVersion, "staged copy not flushed, not replaced");
        Trace("  driver refresh: error %lu", error);
        return error;
    }
    SetReservedSectorLock(0);
    const bool moved = staged.MoveOver(systemCopy);
    const DWORD error = moved ? ERROR_SUCCESS : LastErrorOrGeneric();
    TraceVersions(systemVersion, installVersion, moved ? "replaced" : "move failed, not replaced");
    if (!moved) Trace("  driver refresh: error %lu", error);
    SetReservedSectorLock(1);
    return error;
}

DWORD RemoveStagedDriver() {
    wchar_t systemCopy[MAX_PATH] = {};
    wchar_t stagedCopy[MAX_PATH] = {};
    if (!BuildDriverPaths(systemCopy, stagedCopy)) return ERROR_BUFFER_OVERFLOW;
    NativeFileSystem native;
    if (!native.ok()) return LastErrorOrGeneric();
    DeleteFileEvenReadOnly(stagedCopy);
    return ERROR_SUCCESS;
}

bool ClearMainDeviceCompression() {
    const USHORT format = 0;  // COMPRESSION_FORMAT_NONE
    return SendDeviceRequest(kMainControlDevice, kSetCompressionCode, &format, sizeof(format));
}

}  // namespace vtpi
