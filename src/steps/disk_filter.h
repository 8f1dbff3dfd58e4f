// Disk filter: the client's filter at the front of the disk class's upper
// filters (install) or out of them (uninstall), and out of every disk
// device's own list in both directions. On install the driver refresh runs
// first.
#pragma once

#include <windows.h>

#include "base/setup_api.h"

namespace vtpi {

constexpr const wchar_t* kDiskClassKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
constexpr const wchar_t* kUpperFiltersValue = L"UpperFilters";
constexpr const wchar_t* kDiskFilterName = L"VELTRANE";

// The whole step; `driverCopy` is the install folder's copy of the main
// driver, for the refresh on install, which runs before the class list is
// read (and still runs when that read fails). The disk devices' own lists
// lose the filter after the read, right before the class list is written,
// and get it back when that write fails. The class list's error when it was
// not written; once it is, the refresh's refusal of a driver for another
// processor (ERROR_BAD_EXE_FORMAT), else ERROR_SUCCESS.
DWORD UpdateDiskFilter(bool install, const wchar_t* driverCopy);

// The own lists of the devices registering the disk interface in the current
// hardware profile: stripped of the filter, and given back as they were.
class DiskDeviceLists {
public:
    DiskDeviceLists() = default;
    ~DiskDeviceLists();
    DiskDeviceLists(const DiskDeviceLists&) = delete;
    DiskDeviceLists& operator=(const DiskDeviceLists&) = delete;

    // Takes the filter out of every device's list. An error only when the
    // device installation functions or the device set are unavailable; a
    // device whose list cannot be written does not stop the walk.
    DWORD StripFilter();
    // Gives every device stripped by this object its list back as it was.
    void Restore();
    // Whether any device's list names the filter, read without any change;
    // true too when the device set or a list cannot be read (a value that
    // is no list names nothing).
    bool AnyNamesFilter();

private:
    struct Saved;
    DWORD OpenSet();
    void StripDevice(DWORD index, SP_DEVINFO_DATA* device);

    DeviceSet set_;
    Saved* saved_ = nullptr;
};

// Whether the disk class list or any disk's own list names the filter, read
// without any change; true too when a list cannot be read, so that a client
// is never taken for absent by mistake.
bool IsDiskFilterListed();

}  // namespace vtpi
