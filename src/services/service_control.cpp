#include "services/service_control.h"

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

SC_HANDLE OpenManager() { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

bool RequestStop(SC_HANDLE service) {
    SERVICE_STATUS status;
    return ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
}

// Polls once a second for as long as the service reports that it is stopping.
void WaitWhileStopping(SC_HANDLE service) {
    SERVICE_STATUS status;
    do {
        Sleep(1000);
        if (!QueryServiceStatus(service, &status)) return;
    } while (status.dwCurrentState == SERVICE_STOP_PENDING);
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
    if (!service || !HasImagePath(service.get(), unquoted)) return;
    ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, quoted, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr);
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
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS) QuoteEarlierRegistration(manager.get(), installDir, imagePath);
    if (service && start) StartServiceW(service.get(), 0, nullptr);
    return TRUE;
}

BOOL RemoveClientManagerService() {
    ServiceHandle manager(OpenManager());
    if (!manager) return FALSE;
    ServiceHandle service(OpenServiceW(manager.get(), kClientManagerService, SERVICE_ALL_ACCESS));
    if (!service) return TRUE;
    if (RequestStop(service.get())) WaitWhileStopping(service.get());
    DeleteService(service.get());
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
    if (IsServiceRunning(kLegacyService)) StopAndDeleteService(kLegacyService);
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
