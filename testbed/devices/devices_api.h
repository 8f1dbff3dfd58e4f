// Stand-in disk devices for the testbed, made through SetupAPI in the Wine
// prefix the program runs in.
//
// Every device is created in the disk drive class with the instance id
// ROOT\VTDISK\<id>, is registered, and carries one interface of the disk
// device interface class, so that an enumeration of that interface class
// (DIGCF_DEVICEINTERFACE | DIGCF_PROFILE) returns it. Its upper-filter list
// is the value "UpperFilters" of its key
//   HKLM\SYSTEM\CurrentControlSet\Enum\ROOT\VTDISK\<id>
// and can be written through SetupAPI (always REG_MULTI_SZ) or directly with
// any type and any bytes.
//
// All functions return ERROR_SUCCESS or the Win32 error of the call that
// failed; nothing they open outlives the call.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vtdev {

using List = std::vector<std::wstring>;
using Bytes = std::vector<BYTE>;

// The disk device interface class and the disk drive setup class.
extern const GUID kDiskInterface;
extern const GUID kDiskDriveClass;

// "ROOT\VTDISK\" + id in upper case (as the enumeration returns it), and the
// device's key below HKEY_LOCAL_MACHINE.
std::wstring InstanceIdFor(const std::wstring& id);
std::wstring EnumKeyFor(const std::wstring& id);

// The bytes of a multi-string list: each entry with its NUL, then the final NUL.
// An empty list gives the single NUL unit.
Bytes MultiSzBytes(const List& entries);

// Creates and registers ROOT\VTDISK\<id> with its disk interface. With a
// non-empty list, sets SPDRP_UPPERFILTERS to exactly MultiSzBytes(filters);
// with none, the device has no upper-filter value. `id` must not be empty or
// contain a backslash; an existing device (ids compare without case) gives
// ERROR_DEVINST_ALREADY_EXISTS. Wine keeps the instance id in upper case:
// "abc" becomes ROOT\VTDISK\ABC.
DWORD AddDisk(const std::wstring& id, const List& filters = {});

// Creates ROOT\VTDISK\<prefix><NNNN> for NNNN = first .. first+count-1 (four
// decimal digits at least) in one device information set, each as AddDisk does.
// Stops at the first failure; the devices made before it stay.
DWORD AddDisks(const std::wstring& prefix, unsigned first, unsigned count,
               const List& filters = {});

// Writes SPDRP_UPPERFILTERS through SetupDiSetDeviceRegistryPropertyW:
// - SetUpperFilters(id, list): MultiSzBytes(list);
// - SetUpperFilterBytes(id, bytes): exactly those bytes, passed in a buffer
//   followed by a non-zero unit so that nothing is appended to them; an
//   empty vector passes (NULL, 0), which Wine stores as an empty value;
// - SetUpperFilterBuffer(id, data, size): the caller's buffer as given.
DWORD SetUpperFilters(const std::wstring& id, const List& filters);
DWORD SetUpperFilterBytes(const std::wstring& id, const Bytes& bytes);
DWORD SetUpperFilterBuffer(const std::wstring& id, const BYTE* data, DWORD size);

// Writes the device's "UpperFilters" value in its Enum key directly, with any
// type and exactly `bytes` (followed in memory by a non-zero unit, so that the
// registry appends no terminator to string types). The device must exist.
DWORD SetRawUpperFilters(const std::wstring& id, DWORD type, const Bytes& bytes);
// Deletes the value, so the device has no upper-filter property.
DWORD DeleteUpperFilters(const std::wstring& id);

// A registry value as stored.
struct Stored {
    bool exists = false;
    DWORD type = REG_NONE;
    Bytes bytes;
};
// The "UpperFilters" value of the device's Enum key, read directly.
Stored ReadUpperFiltersValue(const std::wstring& instanceId);

// One device as the enumeration returned it, with its upper-filter property
// read the same way the DLL reads it.
struct Disk {
    std::wstring instanceId;
    GUID classGuid{};
    // SetupDiGetDeviceRegistryPropertyW(..., NULL, NULL, 0, &required):
    // its result, GetLastError() on failure, and `required` (0xFFFFFFFF if
    // the call left it unchanged).
    BOOL probeOk = FALSE;
    DWORD probeError = ERROR_SUCCESS;
    DWORD probeRequired = 0;
    // The second call, made only when the probe failed with
    // ERROR_INSUFFICIENT_BUFFER, with a buffer of `probeRequired` bytes.
    bool readCalled = false;
    BOOL readOk = FALSE;
    DWORD readError = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    Bytes bytes;
    // True for the devices this module creates (ROOT\VTDISK\...).
    bool ours = false;
};

// Enumerates exactly as the DLL does: SetupDiGetClassDevsW(&kDiskInterface,
// NULL, NULL, DIGCF_DEVICEINTERFACE | DIGCF_PROFILE), SetupDiEnumDeviceInfo
// from 0 until it fails, and for each device the size probe and read of
// SPDRP_UPPERFILTERS. Every device is listed, not only ours.
DWORD ListDisks(std::vector<Disk>& out);
std::vector<Disk> ListDisks();

// Removes ROOT\VTDISK\<id> with SetupDiRemoveDevice.
DWORD RemoveDisk(const std::wstring& id);
// Removes every ROOT\VTDISK\... device: those under the Enum key and those an
// interface enumeration returns, then any disk interface key still naming one
// of ours. `removed` receives how many devices were removed. Wine takes about
// 5 to 40 ms per device here, more the more devices there are.
DWORD RemoveAllDisks(unsigned* removed = nullptr);

// Printable forms for messages and the command-line tool.
std::wstring TypeName(DWORD type);
std::wstring HexBytes(const Bytes& bytes);
// The bytes as UTF-16 units split at NULs, e.g. ["A", "B", ""] for
// "A\0B\0\0"; control characters, quotes and backslashes as \xNNNN; a
// trailing odd byte or unterminated string is shown as such.
std::wstring DescribeUnits(const Bytes& bytes);

}  // namespace vtdev
