#include "filters/device_filters.h"

#include "base/diagnostics.h"
#include "base/system_library.h"
#include "filters/filter_list.h"
#include "filters/multisz.h"

namespace vtpi {

SetupApiSlots g_setupApi;

namespace {

// GUID_DEVINTERFACE_DISK
const GUID kDiskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Destroys the device set when the walk ends.
class DeviceSet {
public:
    explicit DeviceSet(HDEVINFO set) : set_(set) {}
    ~DeviceSet() {
        if (valid()) g_setupApi.destroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;

    HDEVINFO get() const { return set_; }
    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO set_;
};

}  // namespace

BOOL LoadSetupApi() {
    const HMODULE library = LoadSystemLibrary(L"SETUPAPI.DLL");
    if (!library) return NoteLastError();
    // Every slot is looked up, in this order, even after a miss.
    bool found = LookUp(library, "SetupDiGetDeviceRegistryPropertyW", g_setupApi.getProperty);
    found &= LookUp(library, "SetupDiSetDeviceRegistryPropertyW", g_setupApi.setProperty);
    found &= LookUp(library, "SetupDiGetClassDevsW", g_setupApi.getClassDevs);
    found &= LookUp(library, "SetupDiEnumDeviceInfo", g_setupApi.enumDeviceInfo);
    found &= LookUp(library, "SetupDiDestroyDeviceInfoList", g_setupApi.destroyDeviceInfoList);
    return found || NoteError(ERROR_PROC_NOT_FOUND);
}

BOOL RemoveDeviceUpperFilters() {
    if (!LoadSetupApi()) return FALSE;
    DeviceSet set(g_setupApi.getClassDevs(&kDiskInterfaceClass, nullptr, nullptr,
                                          DIGCF_DEVICEINTERFACE | DIGCF_PROFILE));
    if (!set.valid()) return NoteLastError();

    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; g_setupApi.enumDeviceInfo(set.get(), index, &device); ++index) {
        // A device whose write fails does not stop the walk.
        StripDeviceUpperFilter(set.get(), &device, kDiskFilterName);
    }
    return TRUE;
}

BOOL StripDeviceUpperFilter(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, const wchar_t* name) {
    HeapBlock list;
    if (!ReadDeviceMultiSzProperty(deviceSet, device, list)) return TRUE;
    int32_t length = 0;
    TraceList(L"  device UpperFilters before", list.units(), list.unitCapacity());
    if (MultiSzRemoveInPlace(name, list.units(), list.unitCapacity(), &length) < 0) return FALSE;
    TraceList(L"  device UpperFilters after", list.units(), list.unitCapacity());
    // An emptied list clears the property rather than storing an empty list.
    if (length == 1) return g_setupApi.setProperty(deviceSet, device, SPDRP_UPPERFILTERS, nullptr, 0);
    return g_setupApi.setProperty(deviceSet, device, SPDRP_UPPERFILTERS,
                                  static_cast<const BYTE*>(list.get()), length * sizeof(wchar_t));
}

bool ReadDeviceMultiSzProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, HeapBlock& list) {
    DWORD type = REG_NONE;
    if (!ReadDeviceProperty(deviceSet, device, SPDRP_UPPERFILTERS, &type, list)) return false;
    if (type == REG_MULTI_SZ) return true;
    list.Free();
    return false;
}

bool ReadDeviceProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property, DWORD* type,
                        HeapBlock& data) {
    DWORD required = 0;
    if (g_setupApi.getProperty(deviceSet, device, property, nullptr, nullptr, 0, &required)) return false;
    // An absent property fails otherwise; a size of 0 leaves nothing to read.
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return false;
    // Zero-filled: the data rounded up to whole units, then two zero units.
    if (!data.Allocate((static_cast<SIZE_T>(required) + 1) / 2 * 2 + 2 * sizeof(wchar_t))) return false;
    if (!g_setupApi.getProperty(deviceSet, device, property, type, static_cast<BYTE*>(data.get()),
                                required, nullptr)) {
        data.Free();
        return false;
    }
    return true;
}

}  // namespace vtpi
