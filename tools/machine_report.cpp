#include "machine_report.h"

#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <stdio.h>

namespace {

const wchar_t* const kDiskClass =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
const wchar_t* const kFloppyClass =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E980-E325-11CE-BFC1-08002BE10318}";
const wchar_t* const kCrashControl = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";

const wchar_t* TypeName(DWORD type) {
    switch (type) {
        case REG_SZ: return L"REG_SZ";
        case REG_MULTI_SZ: return L"REG_MULTI_SZ";
        case REG_BINARY: return L"REG_BINARY";
        case REG_DWORD: return L"REG_DWORD";
        default: return L"other type";
    }
}

std::wstring JoinList(const wchar_t* units, size_t count);

// On a 64-bit machine this 32-bit program runs under WoW64; the functions
// for it are looked up, so that vtpi also starts on systems without them.
template <typename Fn>
Fn Kernel32Function(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

bool IsWow64() {
    const auto isWow64 = Kernel32Function<BOOL(WINAPI*)(HANDLE, BOOL*)>("IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// The native system directory for the object's lifetime, under WoW64.
class NativeFiles {
public:
    NativeFiles() {
        const auto disable = Kernel32Function<BOOL(WINAPI*)(void**)>("Wow64DisableWow64FsRedirection");
        off_ = IsWow64() && disable && disable(&previous_);
    }
    ~NativeFiles() {
        if (off_) Kernel32Function<BOOL(WINAPI*)(void*)>("Wow64RevertWow64FsRedirection")(previous_);
    }

private:
    void* previous_ = nullptr;
    bool off_ = false;
};

// A list value as "A, B (REG_MULTI_SZ, 10 bytes)", or why there is none.
std::wstring DescribeList(const wchar_t* subKey, const wchar_t* name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"(no key)";
    DWORD type = 0, size = 0;
    std::wstring text;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        text = L"(absent)";
    } else {
        std::vector<wchar_t> units(size / 2 + 2, 0);
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(units.data()), &size);
        text = JoinList(units.data(), size / 2) + L"  [" + TypeName(type) + L", " + std::to_wstring(size) +
               L" bytes]";
    }
    RegCloseKey(key);
    return text;
}

// Units up to the first empty entry, joined with ", ".
std::wstring JoinList(const wchar_t* units, size_t count) {
    std::wstring text;
    for (size_t pos = 0; pos < count && units[pos]; pos += wcslen(&units[pos]) + 1) {
        if (!text.empty()) text += L", ";
        text += &units[pos];
    }
    return text.empty() ? L"(empty)" : text;
}

// The main driver's system copy, in the native system directory.
std::wstring DriverFileVersion() {
    NativeFiles native;
    wchar_t path[MAX_PATH];
    GetSystemDirectoryW(path, MAX_PATH);
    wcscat(path, L"\\drivers\\veltrane.sys");
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return L"(absent)";
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    std::vector<BYTE> info(size ? size : 1);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!size || !GetFileVersionInfoW(path, handle, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        return L"(no version)";
    }
    wchar_t text[64];
    swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return text;
}

// The requests a testbed stand-in driver recorded: "CODE(INPUT), ...".
std::wstring RecordedRequests(const wchar_t* service) {
    const std::wstring key = std::wstring(L"System\\CurrentControlSet\\Services\\") + service + L"\\Parameters";
    std::vector<BYTE> record(4096);
    DWORD size = static_cast<DWORD>(record.size());
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Requests", RRF_RT_REG_BINARY, nullptr, record.data(),
                     &size) != ERROR_SUCCESS) {
        return L"(none)";
    }
    std::wstring text;
    for (DWORD pos = 0; pos + 8 <= size;) {
        DWORD code, length;
        memcpy(&code, &record[pos], 4);
        memcpy(&length, &record[pos + 4], 4);
        pos += 8;
        wchar_t item[32];
        swprintf(item, 32, L"%ls%08lX(", text.empty() ? L"" : L", ", code);
        text += item;
        for (DWORD i = 0; i < length && pos + i < size; ++i) {
            swprintf(item, 32, L"%02X", record[pos + i]);
            text += item;
        }
        text += L")";
        pos += length;
    }
    return text.empty() ? L"(none)" : text;
}

// Each disk device's own upper-filter list, as the device installation API
// reports it for the disk interface class.
void AddDiskDevices(MachineReport& report) {
    const GUID diskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    const HDEVINFO set = SetupDiGetClassDevsW(&diskInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PROFILE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t id[200] = L"?";
        SetupDiGetDeviceInstanceIdW(set, &device, id, 200, nullptr);
        std::vector<wchar_t> units(2048, 0);
        DWORD type = 0, size = 0;
        std::wstring value = L"(absent)";
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_UPPERFILTERS, &type,
                                              reinterpret_cast<BYTE*>(units.data()),
                                              static_cast<DWORD>(units.size() - 2) * 2, &size)) {
            value = JoinList(units.data(), size / 2) + L"  [" + TypeName(type) + L", " +
                    std::to_wstring(size) + L" bytes]";
        }
        report.push_back({std::wstring(L"Device ") + id + L" UpperFilters", value});
    }
    SetupDiDestroyDeviceInfoList(set);
}

const wchar_t* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return L"stopped";
        case SERVICE_START_PENDING: return L"starting";
        case SERVICE_STOP_PENDING: return L"stopping";
        case SERVICE_RUNNING: return L"running";
        default: return L"other state";
    }
}

const wchar_t* StartName(DWORD start) {
    switch (start) {
        case SERVICE_AUTO_START: return L"auto start";
        case SERVICE_DEMAND_START: return L"demand start";
        case SERVICE_DISABLED: return L"disabled";
        default: return L"other start";
    }
}

// "running, auto start, IMAGE, group G, account A", or "(absent)".
std::wstring DescribeService(const wchar_t* name) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return L"(service control manager not reachable)";
    const SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    std::wstring text = L"(absent)";
    if (service) {
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        std::vector<BYTE> buffer(8192);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        DWORD needed = 0;
        text = StateName(status.dwCurrentState);
        if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
            text += std::wstring(L", ") + StartName(config->dwStartType) + L", " + config->lpBinaryPathName;
            if (config->lpLoadOrderGroup && *config->lpLoadOrderGroup) {
                text += std::wstring(L", group ") + config->lpLoadOrderGroup;
            }
            if (config->lpServiceStartName) text += std::wstring(L", ") + config->lpServiceStartName;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return text;
}

std::wstring DescribeString(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD view = 0) {
    wchar_t value[1024];
    DWORD size = sizeof(value);
    if (RegGetValueW(root, subKey, name, RRF_RT_REG_SZ | view, nullptr, value, &size) !=
        ERROR_SUCCESS) {
        return L"(absent)";
    }
    return value;
}

// "Keyboard=..., Language=..." of a Bootcode.ini, or why there is none.
std::wstring DescribeBootLocale(const wchar_t* root) {
    const std::wstring file = std::wstring(root) + L"\\Boot\\Bootcode.ini";
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) return L"(not reachable)";
    std::wstring text;
    for (const wchar_t* key : {L"Keyboard", L"Language"}) {
        wchar_t value[256];
        GetPrivateProfileStringW(L"Locale", key, L"(missing)", value, 256, file.c_str());
        text += (text.empty() ? L"" : L", ") + std::wstring(key) + L"=" + value;
    }
    return text;
}

const wchar_t* const kTrayName = L"\\Veltrane Tray Manager\\VtTrayManager.exe";

// The tray application under the Program Files folder this program sees.
std::wstring TrayApplicationPath() {
    wchar_t folder[MAX_PATH] = L"C:\\Program Files";
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, folder);
    return std::wstring(folder) + kTrayName;
}

// Under WoW64, the tray application under the native Program Files folder.
std::wstring NativeTrayApplicationPath() {
    wchar_t folder[MAX_PATH] = {};
    DWORD size = sizeof(folder) - sizeof(wchar_t);
    if (!IsWow64() || RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion",
                                   L"ProgramFilesDir", RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, folder,
                                   &size) != ERROR_SUCCESS) {
        return L"";
    }
    return std::wstring(folder) + kTrayName;
}

// Which of the Program Files folders hold the tray application.
std::wstring DescribeTrayApplication() {
    std::wstring text;
    for (const std::wstring& path : {TrayApplicationPath(), NativeTrayApplicationPath()}) {
        if (!path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            text += (text.empty() ? L"" : L"; ") + path;
        }
    }
    return text.empty() ? L"(absent)" : text;
}

// The shared-files subkey whose "Path" is the tray application (in either
// Program Files folder), with its ids.
std::wstring DescribeSharedEntry() {
    const std::wstring tray = TrayApplicationPath(), nativeTray = NativeTrayApplicationPath();
    HKEY shared;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tessavar\\SharedFiles", 0, KEY_READ, &shared) !=
        ERROR_SUCCESS) {
        return L"(no shared-files list)";
    }
    std::wstring text = L"(none)";
    wchar_t name[256];
    for (DWORD i = 0; RegEnumKeyW(shared, i, name, 256) == ERROR_SUCCESS; ++i) {
        wchar_t path[MAX_PATH] = {};
        DWORD size = sizeof(path) - sizeof(wchar_t);
        if (RegGetValueW(shared, name, L"Path", RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS ||
            (_wcsicmp(path, tray.c_str()) != 0 && _wcsicmp(path, nativeTray.c_str()) != 0)) {
            continue;
        }
        std::vector<wchar_t> ids(32768, 0);
        size = static_cast<DWORD>(ids.size() - 2) * sizeof(wchar_t);
        const bool hasIds = RegGetValueW(shared, name, L"AppIds", RRF_RT_REG_MULTI_SZ, nullptr, ids.data(), &size) ==
                            ERROR_SUCCESS;
        text = std::wstring(name) + L": " + path + L", AppIds " + (hasIds ? JoinList(ids.data(), size / 2) : L"(absent)");
        break;
    }
    RegCloseKey(shared);
    return text;
}

// Every section of the application file list with its "AppId".
std::wstring DescribeFileList(const wchar_t* installDir) {
    const std::wstring file = std::wstring(installDir) + L"\\VTFILES41.LST";
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) return L"(absent)";
    std::vector<wchar_t> sections(32768, 0);
    const DWORD n = GetPrivateProfileSectionNamesW(sections.data(), static_cast<DWORD>(sections.size()), file.c_str());
    std::wstring text;
    for (const wchar_t* s = sections.data(); s < sections.data() + n && *s; s += wcslen(s) + 1) {
        wchar_t id[256];
        GetPrivateProfileStringW(s, L"AppId", L"(none)", id, 256, file.c_str());
        text += (text.empty() ? L"[" : L"; [") + std::wstring(s) + L"] AppId=" + id;
    }
    return text.empty() ? L"(empty)" : text;
}

}  // namespace

MachineReport ReadMachineReport(const wchar_t* installDir) {
    MachineReport report = {
        {L"Disk class UpperFilters", DescribeList(kDiskClass, L"UpperFilters")},
        {L"Floppy class UpperFilters", DescribeList(kFloppyClass, L"UpperFilters")},
        {L"CrashControl DumpFilters", DescribeList(kCrashControl, L"DumpFilters")},
    };
    AddDiskDevices(report);
    report.push_back({IsWow64() ? L"drivers\\veltrane.sys version (native)" : L"drivers\\veltrane.sys version",
                      DriverFileVersion()});
    report.push_back({L"Requests to \\\\.\\VELTRANE", RecordedRequests(L"Veltrane")});
    report.push_back({L"Requests to \\\\.\\RSVLOCK", RecordedRequests(L"RsvLock")});
    report.push_back({L"Service VeltraneClientManager", DescribeService(L"VeltraneClientManager")});
    report.push_back({L"Service VeltraneConfigurationManager", DescribeService(L"VeltraneConfigurationManager")});
    const wchar_t* const run = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
    if (IsWow64()) {
        report.push_back({L"Run value VTMGRNT.EXE (64-bit view)",
                          DescribeString(HKEY_LOCAL_MACHINE, run, L"VTMGRNT.EXE", RRF_SUBKEY_WOW6464KEY)});
        report.push_back({L"Run value VTMGRNT.EXE (32-bit view)",
                          DescribeString(HKEY_LOCAL_MACHINE, run, L"VTMGRNT.EXE", RRF_SUBKEY_WOW6432KEY)});
    } else {
        report.push_back({L"Run value VTMGRNT.EXE", DescribeString(HKEY_LOCAL_MACHINE, run, L"VTMGRNT.EXE")});
    }
    report.push_back({L"Bootcode.ini at \\\\.\\VeltraneFS", DescribeBootLocale(L"\\\\.\\VeltraneFS")});
    report.push_back({L"Bootcode.ini at \\\\Veltrane\\Vtfs", DescribeBootLocale(L"\\\\Veltrane\\Vtfs")});
    report.push_back({L"Tray application", DescribeTrayApplication()});
    report.push_back({L"Shared-files entry of the tray app", DescribeSharedEntry()});
    if (installDir) report.push_back({L"VTFILES41.LST", DescribeFileList(installDir)});
    return report;
}

void PrintReport(const MachineReport& report) {
    for (const auto& item : report) wprintf(L"  %-40ls %ls\n", item.first.c_str(), item.second.c_str());
}

void PrintChanges(const MachineReport& before, const MachineReport& after) {
    for (size_t i = 0; i < after.size(); ++i) {
        const std::wstring& was = i < before.size() ? before[i].second : L"";
        if (was == after[i].second) {
            wprintf(L"    %-40ls %ls\n", after[i].first.c_str(), was.c_str());
        } else {
            wprintf(L"  * %-40ls before: %ls\n", after[i].first.c_str(), was.c_str());
            wprintf(L"    %-40ls after:  %ls\n", L"", after[i].second.c_str());
        }
    }
}
