#include "base/setup_api.h"

#include "base/system_library.h"

namespace vtpi {

SetupApiSlots g_setupApi;

namespace {

// One device registry property's raw data followed by two zero units.
// ERROR_FILE_NOT_FOUND when the device has none or an empty one.
DWORD ReadDeviceProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property, DWORD* type, HeapBlock& data) {
    DWORD required = 0;
    if (g_setupApi.getProperty(deviceSet, device, property, nullptr, nullptr, 0, &required)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const DWORD error = GetLastError();
    // An absent property fails with ERROR_INVALID_DATA.
    if (error == ERROR_INVALID_DATA || (error == ERROR_INSUFFICIENT_BUFFER && required == 0)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (error != ERROR_INSUFFICIENT_BUFFER) return error;
    // Zero-filled: the data rounded up to whole units, then two zero units.
    if (!data.Allocate((static_cast<SIZE_T>(required) + 1) / 2 * 2 + 2 * sizeof(wchar_t))) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!g_setupApi.getProperty(deviceSet, device, property, type, static_cast<BYTE*>(data.get()), required,
                                nullptr)) {
        data.Free();
        return LastErrorOrGeneric();
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD LoadSetupApi() {
    const HMODULE library = LoadSystemLibrary(L"SETUPAPI.DLL");
    if (!library) return LastErrorOrGeneric();
    // Every slot is looked up, in this order, even after a miss.
    bool found = LookUp(library, "SetupDiGetDeviceRegistryPropertyW", g_setupApi.getProperty);
    found &= LookUp(library, "SetupDiSetDeviceRegistryPropertyW", g_setupApi.setProperty);
    found &= LookUp(library, "SetupDiGetClassDevsW", g_setupApi.getClassDevs);
    found &= LookUp(library, "SetupDiEnumDeviceInfo", g_setupApi.enumDeviceInfo);
    found &= LookUp(library, "SetupDiDestroyDeviceInfoList", g_setupApi.destroyDeviceInfoList);
    return found ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
}

DWORD ReadDeviceListProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property, HeapBlock& list) {
    DWORD type = REG_NONE;
    const DWORD read = ReadDeviceProperty(deviceSet, device, property, &type, list);
    if (read != ERROR_SUCCESS || type == REG_MULTI_SZ) return read;
    list.Free();
    return ERROR_INVALID_DATA;
}

}  // namespace vtpi
