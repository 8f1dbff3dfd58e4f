#include "steps/disk_filter.h"

#include "base/multisz.h"
#include "base/registry.h"
#include "base/setup_api.h"
#include "base/system_library.h"
#include "base/trace.h"
#include "steps/driver_refresh.h"

namespace vtpi {

namespace {

// GUID_DEVINTERFACE_DISK
const GUID kDiskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Removes `name` from one device's upper-filter list; a device without a
// usable list is left alone.
void StripDeviceUpperFilter(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, const wchar_t* name) {
    HeapBlock list;
    if (!ReadDeviceListProperty(deviceSet, device, SPDRP_UPPERFILTERS, list)) return;
    int32_t length = 0;
    TraceList(L"  device UpperFilters before", list.units(), list.unitCapacity());
    if (MultiSzRemoveInPlace(name, list.units(), list.unitCapacity(), &length) < 0) return;
    TraceList(L"  device UpperFilters after", list.units(), list.unitCapacity());
    // An emptied list clears the property rather than storing an empty list.
    if (length == 1) {
        g_setupApi.setProperty(deviceSet, device, SPDRP_UPPERFILTERS, nullptr, 0);
    } else {
        g_setupApi.setProperty(deviceSet, device, SPDRP_UPPERFILTERS, static_cast<const BYTE*>(list.get()),
                               length * sizeof(wchar_t));
    }
}

}  // namespace

DWORD RemoveDeviceUpperFilters() {
    const DWORD loaded = LoadSetupApi();
    if (loaded != ERROR_SUCCESS) return loaded;
    const DeviceSet set(g_setupApi.getClassDevs(&kDiskInterfaceClass, nullptr, nullptr,
                                                DIGCF_DEVICEINTERFACE | DIGCF_PROFILE));
    if (!set) return LastErrorOrGeneric();

    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; g_setupApi.enumDeviceInfo(set.get(), index, &device); ++index) {
        StripDeviceUpperFilter(set.get(), &device, kDiskFilterName);
    }
    return ERROR_SUCCESS;
}

bool IsDiskFilterListed() {
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDiskClassKey, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) return false;
    HeapBlock list;
    return ReadListValue(key.get(), kUpperFiltersValue, 0, list) == ERROR_SUCCESS &&
           MultiSzContains(list.units(), list.unitCapacity(), kDiskFilterName);
}

DWORD UpdateDiskFilter(bool install, const wchar_t* driverCopy) {
    RegKey key;
    const LONG opened = RegOpenKeyW(HKEY_LOCAL_MACHINE, kDiskClassKey, key.receive());
    if (opened != ERROR_SUCCESS) return opened;
    const DWORD stripped = RemoveDeviceUpperFilters();
    if (stripped != ERROR_SUCCESS) return stripped;

    HeapBlock list;
    const DWORD read = ReadListWithout(key.get(), kUpperFiltersValue, kDiskFilterName, list);
    if (install) RefreshMainDriver(driverCopy);
    if (read != ERROR_SUCCESS) return read;
    return WriteList(key.get(), kUpperFiltersValue, list, install ? kDiskFilterName : nullptr);
}

}  // namespace vtpi
