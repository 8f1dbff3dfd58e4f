#include "VtPostInstall.h"
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
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, kDiskClassKey, key.receive()) != ERROR_SUCCESS) return false;
    if (!RemoveDeviceUpperFilters()) return false;

    HeapBlock list;
    const bool read = ReadListWithout(key.get(), kUpperFiltersValue, kDiskFilterName, list);
    if (install) RefreshMainDriver(installDir);
    return read && WriteList(key.get(), kUpperFiltersValue, list, install ? kDiskFilterName : nullptr);
}

// Without the main driver nothing more may be done on any system; before
// Windows 2000 there are no class lists to edit, only the driver to refresh.
bool UpdateMainDriverFilters(bool install, const wchar_t* installDir) {
    const bool driverInstalled = IsMainDriverInstalled();
    if (IsWindows2000OrLater()) return driverInstalled && UpdateDiskClassFilter(install, installDir);
    if (install && IsNtPlatform()) RefreshMainDriver(installDir);
    return driverInstalled;
}

// Only a service control manager that cannot be opened fails this step.
bool UpdateClientManagerService(bool install, const wchar_t* installDir) {
    return install ? InstallClientManagerService(installDir, FALSE) : RemoveClientManagerService();
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

// Runs every configuration step in order; false when a gating step failed.
bool RunInstallSequence(bool install, const wchar_t* installDir) {
    // The pre-boot defaults never decide the outcome.
    wchar_t root[MAX_PATH];
    if (FindEncryptedFsRoot(root, MAX_PATH)) EnsureBootLocale(installDir, root);
    if (!UpdateMainDriverFilters(install, installDir)) return false;
    UpdateFloppyClassFilter(install);
    RemoveLegacyConfigManager();
    if (!UpdateClientManagerService(install, installDir)) return false;
    return UpdateDumpFilter(install);
}

}  // namespace
}  // namespace vtpi

extern "C" int __cdecl VT_installer(int install, const wchar_t* installDir, int reserved) {
    (void)reserved;
    if (!vtpi::IsUsableInstallDir(installDir)) return -1;
    return vtpi::RunInstallSequence(install != 0, installDir) ? 0 : -1;
}

// Each byte of the ANSI directory becomes the UTF-16 unit of the same value,
// without a code page; the registration cannot fail the call.
extern "C" int __cdecl IDLL_helper(const char* installDir, int install, int reserved) {
    if (!installDir) return -1;
    wchar_t wide[VTPI_MAX_INSTALL_DIR + 1];
    int length = 0;
    for (; installDir[length] != 0; ++length) {
        if (length == VTPI_MAX_INSTALL_DIR) return -1;
        wide[length] = static_cast<unsigned char>(installDir[length]);
    }
    wide[length] = 0;
    if (!vtpi::IsUsableInstallDir(wide)) return -1;
    vtpi::RunGuarded(vtpi::RegisterTrayApplication, wide);
    return VT_installer(install, wide, reserved);
}
