// Disk filter: the client's filter at the front of the disk class's upper
// filters (install) or out of them (uninstall), and out of every disk
// device's own list in both directions. On install the driver refresh runs
// between the class list's read and its write.
#pragma once

#include <windows.h>

namespace vtpi {

constexpr const wchar_t* kDiskClassKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
constexpr const wchar_t* kUpperFiltersValue = L"UpperFilters";
constexpr const wchar_t* kDiskFilterName = L"VELTRANE";

// The whole step; `driverCopy` is the install folder's copy of the main
// driver, for the refresh on install. The disk devices' own lists lose the
// filter before the class list is read. A class list that cannot be read
// fails the step: the refresh still runs in its place, only the write is
// skipped. ERROR_SUCCESS exactly when the class list was written.
DWORD UpdateDiskFilter(bool install, const wchar_t* driverCopy);

// Strips the disk filter from the own list of every device registering the
// disk interface in the current hardware profile. An error only when the
// device installation functions or the device set are unavailable; a device
// whose list cannot be written does not stop the walk.
DWORD RemoveDeviceUpperFilters();

// Whether the disk class list names the filter, read without any change;
// false too when the list cannot be read.
bool IsDiskFilterListed();

}  // namespace vtpi
