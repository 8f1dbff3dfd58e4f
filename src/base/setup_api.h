// The device installation functions of SETUPAPI.DLL, which is not a known
// DLL and is loaded at run time from the system directory.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "base/owner.h"

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

// Loads SETUPAPI.DLL by its full path and fills the slots; the library stays
// loaded. ERROR_SUCCESS only when all five entry points were found.
DWORD LoadSetupApi();

// A device set from SetupDiGetClassDevsW, which reports failure as
// INVALID_HANDLE_VALUE.
struct DeviceSetKind {
    using Handle = HDEVINFO;
    static Handle None() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle set) { g_setupApi.destroyDeviceInfoList(set); }
};
using DeviceSet = Owner<DeviceSetKind>;

// A device registry property when it is present, non-empty and REG_MULTI_SZ,
// followed by two zero units, so that a list lacking its final NUL still
// ends inside the block. ERROR_FILE_NOT_FOUND when the device has none or an
// empty one, ERROR_INVALID_DATA when it is no list, or the read's error.
DWORD ReadDeviceListProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property, HeapBlock& list);

}  // namespace vtpi
