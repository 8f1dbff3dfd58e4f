#include "VtPostInstall.h"
#include "vtpi/device_filters.h"
#include "vtpi/driver.h"
#include "vtpi/filters.h"
#include "vtpi/guard.h"
#include "vtpi/handles.h"
#include "vtpi/locale.h"
#include "vtpi/os.h"
#include "vtpi/services.h"
#include "vtpi/shared_files.h"
#include "vtpi/text.h"

namespace vtpi {

namespace {

void RefreshMainDriver(const wchar_t* installDir) {
    RefreshMainDriverFile(installDir);
    ClearMainDeviceCompression();
}

// The disk devices' own lists lose the filter before the class list is read;
// on install the driver refresh comes between the class list's read and its
// write. A class list that cannot be read fails the step without a write.
bool UpdateDiskClassFilter(bool install, const wchar_t* installDir) {
    RegKey key;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, kDiskClassKey, key.receive()) != ERROR_SUCCESS) return false;
    if (!RemoveDeviceUpperFilters()) return false;

    HeapBlock list;
    if (!ReadListWithout(key.get(), kUpperFiltersValue, kDiskFilterName, list)) return false;
    if (install) RefreshMainDriver(installDir);
    return WriteList(key.get(), kUpperFiltersValue, list, install ? kDiskFilterName : nullptr);
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

// A directory every path of the library can be built from: not null and at
// most VTPI_MAX_INSTALL_DIR characters.
bool IsUsableInstallDir(const wchar_t* installDir) {
    return installDir && BoundedLength(installDir, VTPI_MAX_INSTALL_DIR + 1) >= 0;
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
    vtpi::RunGuarded(vtpi::RegisterTrayApplication, wide);
    return VT_installer(install, wide, reserved);
}
