#include "VtPostInstall.h"
#include "base/diagnostics.h"
#include "base/handles.h"
#include "base/os_version.h"
#include "base/text.h"
#include "entry/guard.h"
#include "filters/device_filters.h"
#include "filters/filter_list.h"
#include "locale/boot_locale.h"
#include "services/main_driver.h"
#include "services/service_control.h"
#include "sharedfiles/shared_files.h"

namespace vtpi {

namespace {

void RefreshMainDriver(const wchar_t* installDir) {
    RefreshMainDriverFile(installDir);
    ClearMainDeviceCompression();
}

// The disk devices' own lists lose the filter before the class list is read;
// on install the driver refresh comes between the class list's read and its
// write. A class list that cannot be read fails the step: the refresh still
// runs in its place, only the write is skipped.
bool UpdateDiskClassFilter(bool install, const wchar_t* installDir) {
    RegKey key;
    const LONG rc = RegOpenKeyW(HKEY_LOCAL_MACHINE, kDiskClassKey, key.receive());
    if (rc != ERROR_SUCCESS) return NoteError(rc);
    if (!RemoveDeviceUpperFilters()) return false;

    HeapBlock list;
    const bool read = ReadListWithout(key.get(), kUpperFiltersValue, kDiskFilterName, list);
    if (install) RefreshMainDriver(installDir);
    return read && WriteList(key.get(), kUpperFiltersValue, list, install ? kDiskFilterName : nullptr);
}

// A step of the sequence: its outcome is traced, with the error it noted.
template <typename Work>
bool RunStep(const wchar_t* name, Work work) {
    ClearNotedError();
    return TraceStep(name, work());
}

// Without the main driver nothing more may be done on any system; before
// Windows 2000 there are no class lists to edit, only the driver to refresh.
bool UpdateMainDriverFilters(bool install, const wchar_t* installDir) {
    const bool driverInstalled = RunStep(L"main driver present", [] { return IsMainDriverInstalled() != FALSE; });
    if (IsWindows2000OrLater()) {
        return driverInstalled &&
               RunStep(L"disk filter", [&] { return UpdateDiskClassFilter(install, installDir); });
    }
    if (install && IsNtPlatform()) RefreshMainDriver(installDir);
    return driverInstalled;
}

// Only a service control manager that cannot be opened fails this step.
bool UpdateClientManagerService(bool install, const wchar_t* installDir) {
    return (install ? InstallClientManagerService(installDir, FALSE) : RemoveClientManagerService()) != FALSE;
}

bool UpdateDumpFilter(bool install) {
    if (!IsVistaOrLater()) return true;
    return install ? AddToFilterList(kCrashControlKey, kDumpFiltersValue, kDumpFilterName)
                   : RemoveFromFilterList(kCrashControlKey, kDumpFiltersValue, kDumpFilterName);
}

// A drive letter and a backslash ("C:\"), or "\\server\share" and more.
bool IsAbsolutePath(const wchar_t* path) {
    const wchar_t drive = FoldAscii(path[0]);
    if (drive >= L'a' && drive <= L'z') return path[1] == L':' && path[2] == L'\\';
    if (path[0] != L'\\' || path[1] != L'\\') return false;
    // A server name, a backslash, then a share name.
    const wchar_t* server = path + 2;
    const wchar_t* separator = server;
    while (*separator && *separator != L'\\') ++separator;
    return separator != server && *separator == L'\\' && separator[1] != 0 && separator[1] != L'\\';
}

// A directory every path of the library can be built from: not null, at most
// VTPI_MAX_INSTALL_DIR characters, and absolute, so that no path resolves
// against the setup program's current folder.
bool IsUsableInstallDir(const wchar_t* installDir) {
    return installDir && BoundedLength(installDir, VTPI_MAX_INSTALL_DIR + 1) >= 0 && IsAbsolutePath(installDir);
}

// Each byte becomes the UTF-16 unit of the same value; false for a NULL
// directory or one longer than VTPI_MAX_INSTALL_DIR bytes.
bool WidenAnsiDirectory(const char* installDir, wchar_t (&wide)[VTPI_MAX_INSTALL_DIR + 1]) {
    if (!installDir) return false;
    int length = 0;
    for (; installDir[length] != 0; ++length) {
        if (length == VTPI_MAX_INSTALL_DIR) return false;
        wide[length] = static_cast<unsigned char>(installDir[length]);
    }
    wide[length] = 0;
    return true;
}

// Runs every configuration step in order; false when a gating step failed.
bool RunInstallSequence(bool install, const wchar_t* installDir) {
    // The pre-boot defaults never decide the outcome.
    wchar_t root[MAX_PATH];
    if (FindEncryptedFsRoot(root, MAX_PATH)) {
        Trace(L"encrypted file system: %s", root);
        EnsureBootLocale(installDir, root);
    } else {
        Trace(L"encrypted file system: not found, no pre-boot locale");
    }
    if (!UpdateMainDriverFilters(install, installDir)) return false;
    RunStep(L"floppy filter (a failure is ignored)", [&] { return UpdateFloppyClassFilter(install); });
    RemoveLegacyConfigManager();
    if (!RunStep(L"client manager service", [&] { return UpdateClientManagerService(install, installDir); })) {
        return false;
    }
    return RunStep(L"crash-dump filter", [&] { return UpdateDumpFilter(install); });
}

// The whole call: the directory's check, then the sequence.
bool RunInstaller(bool install, const wchar_t* installDir) {
    ClearNotedError();
    if (!IsUsableInstallDir(installDir)) {
        NoteError(ERROR_INVALID_PARAMETER);
        return TraceStep(L"install directory (null, longer than 237 characters, or not absolute)", false);
    }
    Trace(L"%s in %s", install ? L"install" : L"uninstall", installDir);
    const bool done = RunInstallSequence(install, installDir);
    if (done) {
        Trace(L"result 0");
    } else {
        Trace(L"result -1, error %lu", NotedError());
    }
    return done;
}

}  // namespace
}  // namespace vtpi

// Both exports set the thread's last error: ERROR_SUCCESS with 0, the error of
// the step that failed with -1. Diagnostics are written out before it is set.
extern "C" int __cdecl VT_installer(int install, const wchar_t* installDir, int reserved) {
    (void)reserved;
    bool done;
    DWORD error;
    {
        vtpi::CallDiagnostics call;
        vtpi::Trace(L"VT_installer");
        done = vtpi::RunInstaller(install != 0, installDir);
        error = done ? ERROR_SUCCESS : call.error();
    }
    SetLastError(error);
    return done ? 0 : -1;
}

// Each byte of the ANSI directory becomes the UTF-16 unit of the same value,
// without a code page; the registration cannot fail the call, nor leave its
// errors in the last error.
extern "C" int __cdecl IDLL_helper(const char* installDir, int install, int reserved) {
    int result = -1;
    DWORD error = ERROR_INVALID_PARAMETER;
    {
        vtpi::CallDiagnostics call;
        vtpi::Trace(L"IDLL_helper");
        wchar_t wide[VTPI_MAX_INSTALL_DIR + 1];
        if (vtpi::WidenAnsiDirectory(installDir, wide) && vtpi::IsUsableInstallDir(wide)) {
            if (!vtpi::RunGuarded(vtpi::RegisterTrayApplication, wide)) {
                vtpi::Trace(L"tray application: stopped by an exception, ignored");
            }
            result = VT_installer(install, wide, reserved);
            error = GetLastError();
        } else {
            vtpi::Trace(L"install directory (null, longer than 237 bytes, or not absolute): failed, error 87");
        }
    }
    SetLastError(error);
    return result;
}
