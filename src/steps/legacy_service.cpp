#include "steps/legacy_service.h"

#include "base/registry.h"
#include "base/services.h"
#include "base/trace.h"
#include "base/wow64.h"

namespace vtpi {

DWORD RemoveLegacyConfigManager() {
    if (IsServiceRunning(kLegacyService)) {
        const bool removed = StopAndDeleteService(kLegacyService);
        Trace("legacy configuration manager: running, %s", removed ? L"stopped and deleted" : L"not deleted");
    } else {
        Trace("legacy configuration manager: not running, left alone");
    }
    // A 64-bit machine keeps the Run key in both registry views.
    if (IsWow64()) {
        DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_64KEY);
        DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_32KEY);
    } else {
        DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue);
    }
    return ERROR_SUCCESS;
}

}  // namespace vtpi
