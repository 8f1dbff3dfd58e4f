#include "steps/disk_filter.h"

#include "base/multisz.h"
#include "base/registry.h"
#include "base/system_library.h"
#include "base/trace.h"
#include "steps/driver_refresh.h"

namespace vtpi {

namespace {

// GUID_DEVINTERFACE_DISK
const GUID kDiskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Writes one device's upper-filter list of `units` units; a list of only its
// terminator clears the property rather than storing an empty list.
bool SetDeviceList(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, const wchar_t* list, int32_t units) {
    const BYTE* bytes = units > 1 ? reinterpret_cast<const BYTE*>(list) : nullptr;
    return g_setupApi.setProperty(deviceSet, device, SPDRP_UPPERFILTERS, bytes,
                                  units > 1 ? units * sizeof(wchar_t) : 0) != FALSE;
}

}  // namespace

// One stripped device: its index in the set and its list as it was.
struct DiskDeviceLists::Saved {
    Saved* next;
    DWORD index;
    int32_t units;
    wchar_t list[1];
};

DiskDeviceLists::~DiskDeviceLists() {
    while (saved_) {
        Saved* next = saved_->next;
        HeapFree(GetProcessHeap(), 0, saved_);
        saved_ = next;
    }
}

DWORD DiskDeviceLists::OpenSet() {
    const DWORD loaded = LoadSetupApi();
    if (loaded != ERROR_SUCCESS) return loaded;
    *set_.receive() = g_setupApi.getClassDevs(&kDiskInterfaceClass, nullptr, nullptr,
                                              DIGCF_DEVICEINTERFACE | DIGCF_PROFILE);
    return set_ ? ERROR_SUCCESS : LastErrorOrGeneric();
}

DWORD DiskDeviceLists::StripFilter() {
    const DWORD opened = OpenSet();
    if (opened != ERROR_SUCCESS) return opened;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; g_setupApi.enumDeviceInfo(set_.get(), index, &device); ++index) {
        StripDevice(index, &device);
    }
    return ERROR_SUCCESS;
}

bool DiskDeviceLists::AnyNamesFilter() {
    if (OpenSet() != ERROR_SUCCESS) return true;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; g_setupApi.enumDeviceInfo(set_.get(), index, &device); ++index) {
        HeapBlock list;
        const DWORD read = ReadDeviceListProperty(set_.get(), &device, SPDRP_UPPERFILTERS, list);
        // A device without a list, or with a value that is no list, names nothing.
        if (read == ERROR_FILE_NOT_FOUND || read == ERROR_INVALID_DATA) continue;
        if (read != ERROR_SUCCESS || MultiSzContains(list.units(), list.unitCapacity(), kDiskFilterName)) return true;
    }
    return false;
}

// Removes the filter from one device's list, after keeping the list as it
// was; a device without a usable list, without the filter, or whose list
// cannot be kept is left alone.
void DiskDeviceLists::StripDevice(DWORD index, SP_DEVINFO_DATA* device) {
    HeapBlock list;
    if (ReadDeviceListProperty(set_.get(), device, SPDRP_UPPERFILTERS, list) != ERROR_SUCCESS) return;
    const int32_t units = list.unitCapacity();
    if (!MultiSzContains(list.units(), units, kDiskFilterName)) return;
    Saved* saved = static_cast<Saved*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Saved) + units * sizeof(wchar_t)));
    if (!saved) return;
    CopyMemory(saved->list, list.units(), units * sizeof(wchar_t));
    saved->index = index;
    saved->units = units;
    saved->next = saved_;
    saved_ = saved;

    int32_t length = 0;
    TraceList(L"  device UpperFilters before", list.units(), units);
    MultiSzRemoveInPlace(kDiskFilterName, list.units(), units, &length);
    TraceList(L"  device UpperFilters after", list.units(), units);
    SetDeviceList(set_.get(), device, list.units(), length);
}

void DiskDeviceLists::Restore() {
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (const Saved* saved = saved_; saved; saved = saved->next) {
        if (!g_setupApi.enumDeviceInfo(set_.get(), saved->index, &device)) continue;
        // The kept list ends within its units: it contains the filter.
        const int32_t length = MultiSzLength(saved->list, saved->units);
        SetDeviceList(set_.get(), &device, saved->list, length);
    }
}

bool IsDiskFilterListed() {
    RegKey key;
    HeapBlock list;
    DWORD read = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDiskClassKey, 0, KEY_READ, key.receive());
    if (read == ERROR_SUCCESS) read = ReadListValue(key.get(), kUpperFiltersValue, 0, list);
    // A list that is absent names nothing; one that cannot be read may.
    if (read != ERROR_FILE_NOT_FOUND &&
        (read != ERROR_SUCCESS || MultiSzContains(list.units(), list.unitCapacity(), kDiskFilterName))) {
        return true;
    }
    DiskDeviceLists devices;
    return devices.AnyNamesFilter();
}

DWORD UpdateDiskFilter(bool install, const wchar_t* driverCopy) {
    RegKey key;
    const LONG opened = RegOpenKeyW(HKEY_LOCAL_MACHINE, kDiskClassKey, key.receive());
    if (opened != ERROR_SUCCESS) return opened;
    const DWORD refreshed = install ? RefreshMainDriver(driverCopy) : ERROR_SUCCESS;

    HeapBlock list;
    const DWORD read = ReadListWithout(key.get(), kUpperFiltersValue, kDiskFilterName, list);
    if (read != ERROR_SUCCESS) return read;
    // The devices lose the filter right before the class list is written, so
    // that a disk is without it on both lists for as short a time as can be,
    // and get their lists back when that write fails.
    DiskDeviceLists devices;
    const DWORD stripped = devices.StripFilter();
    if (stripped != ERROR_SUCCESS) return stripped;
    const DWORD written = WriteList(key.get(), kUpperFiltersValue, list, install ? kDiskFilterName : nullptr);
    if (written != ERROR_SUCCESS) {
        devices.Restore();
        Trace("  class list not written: the devices' own lists given back");
        return written;
    }
    // A driver for another processor fails the call once the lists are done.
    return refreshed;
}

}  // namespace vtpi
