// The own upper-filter lists of the disk devices, reached through the device
// installation functions of SETUPAPI.DLL, which is loaded at run time.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "base/handles.h"

namespace vtpi {

// The five device-installation entry points, filled by LoadSetupApi.
struct SetupApiSlots {
    decltype(&SetupDiGetDeviceRegistryPropertyW) getProperty;
    decltype(&SetupDiSetDeviceRegistryPropertyW) setProperty;
    decltype(&SetupDiGetClassDevsW) getClassDevs;
    decltype(&SetupDiEnumDeviceInfo) enumDeviceInfo;
    decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
};
extern SetupApiSlots g_setupApi;

// Loads SETUPAPI.DLL from the system directory (never by bare name, so a DLL
// planted beside the setup program is not picked up) and fills the slots.
// The library stays loaded. True only when all five entry points were found.
BOOL LoadSetupApi();

// Strips the disk filter from the own list of every device registering the
// disk interface in the current hardware profile. False only when the device
// installation functions or the device set are unavailable.
BOOL RemoveDeviceUpperFilters();

// Removes `name` from one device's upper-filter list. True when the device has
// no usable list or the new list was written.
BOOL StripDeviceUpperFilter(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, const wchar_t* name);

// The device's SPDRP_UPPERFILTERS when present, non-empty and REG_MULTI_SZ.
bool ReadDeviceMultiSzProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, HeapBlock& list);

// One device registry property's raw data followed by two zero units, so that
// a list lacking its final NUL still ends inside the block; false when there
// is nothing to read or anything fails.
bool ReadDeviceProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property, DWORD* type,
                        HeapBlock& data);

}  // namespace vtpi
