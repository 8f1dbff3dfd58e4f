#include "devices_api.h"

#include <setupapi.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <set>
#include <utility>

namespace vtdev {

// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}
const GUID kDiskInterface = {0x53f56307, 0xb6bf, 0x11d0,
                             {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
// {4D36E967-E325-11CE-BFC1-08002BE10318}
const GUID kDiskDriveClass = {0x4d36e967, 0xe325, 0x11ce,
                              {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

namespace {

const wchar_t kEnumerator[] = L"ROOT\\VTDISK";
const wchar_t kEnumKey[] = L"SYSTEM\\CurrentControlSet\\Enum";
const wchar_t kDiskInterfaceKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const wchar_t kValueName[] = L"UpperFilters";
const wchar_t kDescription[] = L"VT testbed disk";

// A device information set, destroyed with its owner.
class DevInfo {
public:
    explicit DevInfo(HDEVINFO set) : set_(set) {}
    ~DevInfo() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DevInfo(const DevInfo&) = delete;
    DevInfo& operator=(const DevInfo&) = delete;
    bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

// An open registry key, closed with its owner.
class Key {
public:
    Key() = default;
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

DWORD LastError() {
    const DWORD e = GetLastError();
    return e ? e : ERROR_GEN_FAILURE;
}

bool ValidId(const std::wstring& id) {
    return !id.empty() && id.find(L'\\') == std::wstring::npos;
}

bool IsOurs(const std::wstring& instanceId) {
    const std::wstring prefix = std::wstring(kEnumerator) + L"\\";
    if (instanceId.size() <= prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::towupper(instanceId[i]) != prefix[i]) return false;
    }
    return true;
}

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

DWORD InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA* dev, std::wstring& out) {
    DWORD required = 0;
    SetupDiGetDeviceInstanceIdW(set, dev, nullptr, 0, &required);
    if (required == 0) return LastError();
    std::vector<wchar_t> buffer(required + 1, L'\0');
    if (!SetupDiGetDeviceInstanceIdW(set, dev, buffer.data(), required, nullptr)) {
        return LastError();
    }
    out.assign(buffer.data());
    return ERROR_SUCCESS;
}

// Creates, registers and gives the disk interface to one device in `set`;
// on failure nothing of the device is left behind.
DWORD CreateDisk(HDEVINFO set, const std::wstring& instanceId, const Bytes* filters) {
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (!SetupDiCreateDeviceInfoW(set, instanceId.c_str(), &kDiskDriveClass, kDescription,
                                  nullptr, 0, &dev)) {
        return LastError();
    }
    DWORD error = ERROR_SUCCESS;
    if (!SetupDiRegisterDeviceInfo(set, &dev, 0, nullptr, nullptr, nullptr)) {
        error = LastError();
        // Never registered: dropping it from the set deletes its key.
        SetupDiDeleteDeviceInfo(set, &dev);
        return error;
    }
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (!SetupDiCreateDeviceInterfaceW(set, &dev, &kDiskInterface, nullptr, 0, &iface)) {
        error = LastError();
    } else if (filters &&
               !SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_UPPERFILTERS, filters->data(),
                                                  static_cast<DWORD>(filters->size()))) {
        error = LastError();
    }
    if (error != ERROR_SUCCESS) SetupDiRemoveDevice(set, &dev);
    return error;
}

// Opens the device ROOT\VTDISK\<id> into `set`.
DWORD OpenDisk(HDEVINFO set, const std::wstring& id, SP_DEVINFO_DATA& dev) {
    if (!ValidId(id)) return ERROR_INVALID_PARAMETER;
    dev = SP_DEVINFO_DATA{};
    dev.cbSize = sizeof dev;
    if (!SetupDiOpenDeviceInfoW(set, InstanceIdFor(id).c_str(), nullptr, 0, &dev)) {
        return LastError();
    }
    return ERROR_SUCCESS;
}

// A copy of `bytes` followed by a non-zero unit: the registry then takes the
// size as given instead of counting in a terminator that follows the data.
Bytes Guarded(const Bytes& bytes) {
    Bytes buffer(bytes);
    buffer.insert(buffer.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    return buffer;
}

// The subkey names of HKLM\...\Enum\ROOT\VTDISK.
std::vector<std::wstring> EnumeratedIds() {
    std::vector<std::wstring> ids;
    Key key;
    const std::wstring path = std::wstring(kEnumKey) + L"\\" + kEnumerator;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) {
        return ids;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        const LONG r = RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_MORE_DATA) continue;
        if (r != ERROR_SUCCESS) break;
        ids.emplace_back(name, length);
    }
    return ids;
}

bool DeviceKeyExists(const std::wstring& instanceId) {
    Key key;
    const std::wstring path = std::wstring(kEnumKey) + L"\\" + instanceId;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

// Deletes disk interface keys that name one of our devices whose Enum key is
// gone. SetupAPI removes a device's interfaces with it, but a device key
// deleted by other means leaves its interface behind: enumerations skip it,
// and a device made again under the same id would take it over.
DWORD DeleteStaleInterfaces() {
    Key classKey;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDiskInterfaceKey, 0, KEY_READ | KEY_WRITE, classKey.out());
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
    std::vector<std::wstring> stale;
    for (DWORD i = 0;; ++i) {
        wchar_t name[512];
        DWORD length = ARRAYSIZE(name);
        r = RegEnumKeyExW(classKey.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_MORE_DATA) continue;
        if (r != ERROR_SUCCESS) break;
        wchar_t instance[512] = {};
        DWORD size = sizeof instance - sizeof(wchar_t);
        DWORD type = REG_NONE;
        if (RegGetValueW(classKey.get(), name, L"DeviceInstance", RRF_RT_REG_SZ, &type, instance, &size) !=
            ERROR_SUCCESS) {
            continue;
        }
        if (IsOurs(instance) && !DeviceKeyExists(instance)) stale.emplace_back(name, length);
    }
    DWORD firstError = ERROR_SUCCESS;
    for (const std::wstring& name : stale) {
        // Deletes the key with everything below it.
        r = RegDeleteTreeW(classKey.get(), name.c_str());
        if (r != ERROR_SUCCESS && firstError == ERROR_SUCCESS) firstError = static_cast<DWORD>(r);
    }
    return firstError;
}

}  // namespace

std::wstring InstanceIdFor(const std::wstring& id) {
    // Upper case, as Wine keeps and returns it.
    return Upper(std::wstring(kEnumerator) + L"\\" + id);
}

std::wstring EnumKeyFor(const std::wstring& id) {
    return std::wstring(kEnumKey) + L"\\" + InstanceIdFor(id);
}

Bytes MultiSzBytes(const List& entries) {
    std::wstring units;
    for (const std::wstring& e : entries) units += e + L'\0';
    units += L'\0';
    const BYTE* p = reinterpret_cast<const BYTE*>(units.data());
    return Bytes(p, p + units.size() * sizeof(wchar_t));
}

DWORD AddDisk(const std::wstring& id, const List& filters) {
    if (!ValidId(id)) return ERROR_INVALID_PARAMETER;
    DevInfo set(SetupDiCreateDeviceInfoList(&kDiskDriveClass, nullptr));
    if (!set.valid()) return LastError();
    const Bytes bytes = MultiSzBytes(filters);
    return CreateDisk(set.get(), InstanceIdFor(id), filters.empty() ? nullptr : &bytes);
}

DWORD AddDisks(const std::wstring& prefix, unsigned first, unsigned count, const List& filters) {
    if (prefix.find(L'\\') != std::wstring::npos) return ERROR_INVALID_PARAMETER;
    DevInfo set(SetupDiCreateDeviceInfoList(&kDiskDriveClass, nullptr));
    if (!set.valid()) return LastError();
    const Bytes bytes = MultiSzBytes(filters);
    for (unsigned n = first; n < first + count; ++n) {
        wchar_t number[16];
        swprintf(number, ARRAYSIZE(number), L"%04u", n);
        const DWORD error =
            CreateDisk(set.get(), InstanceIdFor(prefix + number), filters.empty() ? nullptr : &bytes);
        if (error != ERROR_SUCCESS) return error;
    }
    return ERROR_SUCCESS;
}

DWORD SetUpperFilterBuffer(const std::wstring& id, const BYTE* data, DWORD size) {
    DevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set.valid()) return LastError();
    SP_DEVINFO_DATA dev;
    const DWORD error = OpenDisk(set.get(), id, dev);
    if (error != ERROR_SUCCESS) return error;
    if (!SetupDiSetDeviceRegistryPropertyW(set.get(), &dev, SPDRP_UPPERFILTERS, data, size)) {
        return LastError();
    }
    return ERROR_SUCCESS;
}

DWORD SetUpperFilterBytes(const std::wstring& id, const Bytes& bytes) {
    if (bytes.empty()) return SetUpperFilterBuffer(id, nullptr, 0);
    const Bytes buffer = Guarded(bytes);
    return SetUpperFilterBuffer(id, buffer.data(), static_cast<DWORD>(bytes.size()));
}

DWORD SetUpperFilters(const std::wstring& id, const List& filters) {
    return SetUpperFilterBytes(id, MultiSzBytes(filters));
}

DWORD SetRawUpperFilters(const std::wstring& id, DWORD type, const Bytes& bytes) {
    if (!ValidId(id)) return ERROR_INVALID_PARAMETER;
    Key key;
    const LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, EnumKeyFor(id).c_str(), 0, KEY_SET_VALUE, key.out());
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_NO_SUCH_DEVINST;
    if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
    const Bytes buffer = Guarded(bytes);
    return static_cast<DWORD>(RegSetValueExW(key.get(), kValueName, 0, type, buffer.data(),
                                             static_cast<DWORD>(bytes.size())));
}

DWORD DeleteUpperFilters(const std::wstring& id) {
    if (!ValidId(id)) return ERROR_INVALID_PARAMETER;
    Key key;
    const LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, EnumKeyFor(id).c_str(), 0, KEY_SET_VALUE, key.out());
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_NO_SUCH_DEVINST;
    if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
    const LONG d = RegDeleteValueW(key.get(), kValueName);
    return d == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(d);
}

Stored ReadUpperFiltersValue(const std::wstring& instanceId) {
    Stored out;
    Key key;
    const std::wstring path = std::wstring(kEnumKey) + L"\\" + instanceId;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS) {
        return out;
    }
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), kValueName, nullptr, &out.type, nullptr, &size) != ERROR_SUCCESS) {
        return out;
    }
    out.bytes.resize(size);
    BYTE unused = 0;
    if (RegQueryValueExW(key.get(), kValueName, nullptr, &out.type,
                         size ? out.bytes.data() : &unused, &size) != ERROR_SUCCESS) {
        out.bytes.clear();
        return out;
    }
    out.bytes.resize(size);
    out.exists = true;
    return out;
}

DWORD ListDisks(std::vector<Disk>& out) {
    out.clear();
    DevInfo set(SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr,
                                     DIGCF_DEVICEINTERFACE | DIGCF_PROFILE));
    if (!set.valid()) return LastError();
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        if (!SetupDiEnumDeviceInfo(set.get(), i, &dev)) {
            const DWORD e = GetLastError();
            return e == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : LastError();
        }
        Disk disk;
        disk.classGuid = dev.ClassGuid;
        const DWORD idError = InstanceIdOf(set.get(), &dev, disk.instanceId);
        if (idError != ERROR_SUCCESS) return idError;
        disk.ours = IsOurs(disk.instanceId);

        // The size probe, as the DLL makes it.
        DWORD required = 0xFFFFFFFF;
        SetLastError(ERROR_SUCCESS);
        disk.probeOk = SetupDiGetDeviceRegistryPropertyW(set.get(), &dev, SPDRP_UPPERFILTERS, nullptr,
                                                         nullptr, 0, &required);
        disk.probeError = disk.probeOk ? ERROR_SUCCESS : GetLastError();
        disk.probeRequired = required;

        if (!disk.probeOk && disk.probeError == ERROR_INSUFFICIENT_BUFFER &&
            required != 0xFFFFFFFF) {
            // The read with a buffer of exactly the size the probe gave.
            disk.readCalled = true;
            Bytes buffer(required);
            BYTE unused = 0;
            DWORD type = 0xFFFFFFFF;
            DWORD size = 0;
            SetLastError(ERROR_SUCCESS);
            disk.readOk = SetupDiGetDeviceRegistryPropertyW(set.get(), &dev, SPDRP_UPPERFILTERS, &type,
                                                            required ? buffer.data() : &unused,
                                                            required, &size);
            disk.readError = disk.readOk ? ERROR_SUCCESS : GetLastError();
            disk.type = type;
            if (disk.readOk) {
                buffer.resize(std::min(size, required));
                disk.bytes = std::move(buffer);
            }
        }
        out.push_back(std::move(disk));
    }
}

std::vector<Disk> ListDisks() {
    std::vector<Disk> out;
    ListDisks(out);
    return out;
}

DWORD RemoveDisk(const std::wstring& id) {
    DevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set.valid()) return LastError();
    SP_DEVINFO_DATA dev;
    const DWORD error = OpenDisk(set.get(), id, dev);
    if (error != ERROR_SUCCESS) return error;
    if (!SetupDiRemoveDevice(set.get(), &dev)) return LastError();
    return ERROR_SUCCESS;
}

DWORD RemoveAllDisks(unsigned* removed) {
    if (removed) *removed = 0;
    // Ours as the Enum key holds them, and as an interface enumeration
    // returns them: the two should agree, but a half-made device may be in
    // only one of them.
    std::set<std::wstring> ids;
    for (const std::wstring& id : EnumeratedIds()) ids.insert(InstanceIdFor(id));
    {
        std::vector<Disk> disks;
        const DWORD error = ListDisks(disks);
        if (error != ERROR_SUCCESS) return error;
        for (const Disk& d : disks) {
            if (d.ours) ids.insert(Upper(d.instanceId));
        }
    }
    DevInfo set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set.valid()) return LastError();
    DWORD firstError = ERROR_SUCCESS;
    for (const std::wstring& instanceId : ids) {
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        DWORD error = ERROR_SUCCESS;
        if (!SetupDiOpenDeviceInfoW(set.get(), instanceId.c_str(), nullptr, 0, &dev)) {
            error = LastError();
        } else if (!SetupDiRemoveDevice(set.get(), &dev)) {
            error = LastError();
        } else if (removed) {
            ++*removed;
        }
        if (error != ERROR_SUCCESS && firstError == ERROR_SUCCESS) firstError = error;
    }
    const DWORD staleError = DeleteStaleInterfaces();
    return firstError != ERROR_SUCCESS ? firstError : staleError;
}

std::wstring TypeName(DWORD type) {
    switch (type) {
    case REG_NONE: return L"REG_NONE";
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return L"REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return L"REG_LINK";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_QWORD: return L"REG_QWORD";
    case 0xFFFFFFFF: return L"(unset)";
    default: return L"type " + std::to_wstring(type);
    }
}

std::wstring HexBytes(const Bytes& bytes) {
    std::wstring out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        wchar_t hex[4];
        swprintf(hex, ARRAYSIZE(hex), L"%02X", bytes[i]);
        if (i) out += L' ';
        out += hex;
    }
    return out;
}

std::wstring DescribeUnits(const Bytes& bytes) {
    if (bytes.empty()) return L"(no bytes)";
    std::wstring out;
    std::wstring current;
    bool open = false;
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        const wchar_t c = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (c == L'\0') {
            if (!out.empty()) out += L' ';
            out += L"\"" + current + L"\"";
            current.clear();
            open = false;
        } else {
            if (c < 0x20 || c == 0x7F || c == L'"' || c == L'\\') {
                wchar_t escaped[8];
                swprintf(escaped, ARRAYSIZE(escaped), L"\\x%04X", static_cast<unsigned>(c));
                current += escaped;
            } else {
                current += c;
            }
            open = true;
        }
    }
    if (open) {
        if (!out.empty()) out += L' ';
        out += L"\"" + current + L"\"(unterminated)";
    }
    if (bytes.size() % 2) {
        if (!out.empty()) out += L' ';
        out += L"+1 odd byte";
    }
    return out;
}

}  // namespace vtdev
