#include "services/service_control.h"

#include "base/diagnostics.h"
#include "base/handles.h"
#include "base/os_version.h"
#include "base/text.h"
#include "base/wow64.h"

namespace vtpi {

namespace {

// A service or service control manager handle; null means none.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_) CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

SC_HANDLE OpenManager() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        NoteLastError();
        Trace(L"  service control manager did not open, error %lu", GetLastError());
    }
    return manager;
}

const wchar_t* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return L"stopped";
        case SERVICE_START_PENDING: return L"start pending";
        case SERVICE_STOP_PENDING: return L"stop pending";
        case SERVICE_RUNNING: return L"running";
        case SERVICE_CONTINUE_PENDING: return L"continue pending";
        case SERVICE_PAUSE_PENDING: return L"pause pending";
        case SERVICE_PAUSED: return L"paused";
        default: return L"unknown";
    }
}

bool RequestStop(SC_HANDLE service) {
    SERVICE_STATUS status;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        Trace(L"  stop requested: %s", StateName(status.dwCurrentState));
        return true;
    }
    Trace(L"  stop refused, error %lu", GetLastError());
    return false;
}

// Polls once a second for as long as the service reports that it is stopping.
void WaitWhileStopping(SC_HANDLE service) {
    SERVICE_STATUS status;
    DWORD seconds = 0;
    do {
        Sleep(1000);
        ++seconds;
        if (!QueryServiceStatus(service, &status)) {
            Trace(L"  waited %lu s; state unknown, error %lu", seconds, GetLastError());
            return;
        }
    } while (status.dwCurrentState == SERVICE_STOP_PENDING);
    Trace(L"  waited %lu s: %s", seconds, StateName(status.dwCurrentState));
}

// The image path in quotes, so that a path with spaces names one program.
bool BuildImagePath(wchar_t* path, int32_t capacity, const wchar_t* installDir) {
    return CopyString(path, capacity, L"\"") && AppendString(path, capacity, installDir) &&
           AppendString(path, capacity, kClientManagerExe) && AppendString(path, capacity, L"\"");
}

// Whether the service's image path is exactly `path`.
bool HasImagePath(SC_HANDLE service, const wchar_t* path) {
    DWORD needed = 0;
    if (QueryServiceConfigW(service, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    HeapBlock config;
    if (!config.Allocate(needed)) return false;
    auto* fields = static_cast<QUERY_SERVICE_CONFIGW*>(config.get());
    if (!QueryServiceConfigW(service, fields, needed, &needed) || !fields->lpBinaryPathName) return false;
    return EqualsExactly(fields->lpBinaryPathName, path);
}

// Earlier releases registered the client manager with the image path
// unquoted; such a registration of this same directory gets the quoted path
// and keeps everything else. Any other registration is left as it is.
void QuoteEarlierRegistration(SC_HANDLE manager, const wchar_t* installDir, const wchar_t* quoted) {
    wchar_t unquoted[MAX_PATH];
    if (!CopyString(unquoted, MAX_PATH, installDir) || !AppendString(unquoted, MAX_PATH, kClientManagerExe)) return;
    ServiceHandle service(OpenServiceW(manager, kClientManagerService, SERVICE_ALL_ACCESS));
    if (!service || !HasImagePath(service.get(), unquoted)) {
        Trace(L"  client manager exists: kept as it is");
        return;
    }
    const BOOL quotedNow = ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                quoted, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    Trace(L"  client manager exists, registered unquoted: %s, error %lu", quotedNow ? L"quoted" : L"not quoted",
          quotedNow ? 0 : GetLastError());
}

}  // namespace

BOOL InstallClientManagerService(const wchar_t* installDir, BOOL start) {
    wchar_t imagePath[MAX_PATH];
    if (!BuildImagePath(imagePath, MAX_PATH, installDir)) return FALSE;
    ServiceHandle manager(OpenManager());
    if (!manager) return FALSE;
    // An existing service makes the creation fail and stays as it is, but
    // for the quotes an earlier release left out.
    ServiceHandle service(CreateServiceW(manager.get(), kClientManagerService, kClientManagerDisplayName,
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         SERVICE_ERROR_NORMAL, imagePath, kClientManagerGroup, nullptr,
                                         L"\0", nullptr, nullptr));
    const DWORD error = service ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
        QuoteEarlierRegistration(manager.get(), installDir, imagePath);
    } else {
        Trace(L"  client manager %s, error %lu", service ? L"created" : L"not created", error);
    }
    if (service && start) StartServiceW(service.get(), 0, nullptr);
    return TRUE;
}

BOOL RemoveClientManagerService() {
    ServiceHandle manager(OpenManager());
    if (!manager) return FALSE;
    ServiceHandle service(OpenServiceW(manager.get(), kClientManagerService, SERVICE_ALL_ACCESS));
    if (!service) {
        Trace(L"  client manager did not open, error %lu: nothing to remove", GetLastError());
        return TRUE;
    }
    if (RequestStop(service.get())) WaitWhileStopping(service.get());
    const BOOL deleted = DeleteService(service.get());
    Trace(L"  client manager %s, error %lu", deleted ? L"deleted" : L"not deleted", deleted ? 0 : GetLastError());
    return TRUE;
}

BOOL StopAndDeleteService(const wchar_t* serviceName) {
    ServiceHandle manager(OpenManager());
    if (!manager) return FALSE;
    ServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) return FALSE;
    if (RequestStop(service.get()) || RequestStop(service.get())) WaitWhileStopping(service.get());
    return DeleteService(service.get());
}

BOOL IsServiceRunning(const wchar_t* serviceName) {
    ServiceHandle manager(OpenManager());
    if (!manager) return FALSE;
    ServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) return FALSE;
    SERVICE_STATUS status;
    return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

BOOL RemoveLegacyConfigManager() {
    if (!IsNtPlatform()) return TRUE;
    // Installed but stopped, the legacy service is left alone.
    if (IsServiceRunning(kLegacyService)) {
        const BOOL removed = StopAndDeleteService(kLegacyService);
        Trace(L"legacy configuration manager: running, %s", removed ? L"stopped and deleted" : L"not deleted");
    } else {
        Trace(L"legacy configuration manager: not running, left alone");
    }
    // A 64-bit machine keeps the Run key in both registry views.
    if (IsWow64()) {
        DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_64KEY);
        DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_32KEY);
    } else {
        DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue);
    }
    return TRUE;
}

BOOL DeleteRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, REGSAM view) {
    RegKey key;
    DWORD disposition;
    if (RegCreateKeyExW(root, subKey, 0, const_cast<wchar_t*>(L""), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view,
                        nullptr, key.receive(), &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    return RegDeleteValueW(key.get(), valueName) == ERROR_SUCCESS;
}

}  // namespace vtpi
