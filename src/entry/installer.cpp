#include "vtpi/installer.h"

#include "VtPostInstall.h"
#include "vtpi/filters.h"
#include "vtpi/handles.h"
#include "vtpi/os.h"
#include "vtpi/text.h"

namespace vtpi {

namespace {

// The disk class list is edited inline: the driver refresh on install comes
// between its read and its write. A list that cannot be read fails the
// sequence without a write.
bool UpdateDiskClassFilter(bool install, const wchar_t* installDir) {
    (void)installDir;  // the driver refresh reads the install copy from here
    RegKey key;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, kDiskClassKey, key.receive()) != ERROR_SUCCESS) return false;

    HeapBlock list;
    if (!ReadListWithout(key.get(), kUpperFiltersValue, kDiskFilterName, list)) return false;
    return WriteList(key.get(), kUpperFiltersValue, list, install ? kDiskFilterName : nullptr);
}

bool UpdateDumpFilter(bool install) {
    if (!IsVistaOrLater()) return true;
    return install ? AddToFilterList(kCrashControlKey, kDumpFiltersValue, kDumpFilterName)
                   : RemoveFromFilterList(kCrashControlKey, kDumpFiltersValue, kDumpFilterName);
}

}  // namespace

bool IsUsableInstallDir(const wchar_t* installDir) {
    return installDir && BoundedLength(installDir, VTPI_MAX_INSTALL_DIR + 1) >= 0;
}

bool RunInstallSequence(bool install, const wchar_t* installDir) {
    // Systems before Windows 2000 keep no class filter lists for the client.
    if (IsWindows2000OrLater() && !UpdateDiskClassFilter(install, installDir)) return false;
    UpdateFloppyClassFilter(install);
    return UpdateDumpFilter(install);
}

}  // namespace vtpi

extern "C" int __cdecl VT_installer(int install, const wchar_t* installDir, int reserved) {
    (void)reserved;
    if (!vtpi::IsUsableInstallDir(installDir)) return -1;
    return vtpi::RunInstallSequence(install != 0, installDir) ? 0 : -1;
}
