#include "base/services.h"

#include "base/system_library.h"
#include "base/text.h"
#include "base/trace.h"

namespace vtpi {

namespace {

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

}  // namespace

DWORD OpenServiceManager(ServiceHandle& manager) {
    *manager.receive() = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) return ERROR_SUCCESS;
    const DWORD error = LastErrorOrGeneric();
    Trace("  service control manager did not open, error %lu", GetLastError());
    return error;
}

bool RequestStop(SC_HANDLE service) {
    SERVICE_STATUS status;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        Trace("  stop requested: %s", StateName(status.dwCurrentState));
        return true;
    }
    Trace("  stop refused, error %lu", GetLastError());
    return false;
}

void WaitWhileStopping(SC_HANDLE service) {
    SERVICE_STATUS status;
    DWORD seconds = 0;
    do {
        Sleep(1000);
        ++seconds;
        if (!QueryServiceStatus(service, &status)) {
            Trace("  waited %lu s; state unknown, error %lu", seconds, GetLastError());
            return;
        }
    } while (status.dwCurrentState == SERVICE_STOP_PENDING);
    Trace("  waited %lu s: %s", seconds, StateName(status.dwCurrentState));
}

const wchar_t* ReadImagePath(SC_HANDLE service, HeapBlock& config) {
    DWORD needed = 0;
    if (QueryServiceConfigW(service, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return nullptr;
    if (!config.Allocate(needed)) return nullptr;
    auto* fields = static_cast<QUERY_SERVICE_CONFIGW*>(config.get());
    if (!QueryServiceConfigW(service, fields, needed, &needed)) return nullptr;
    return fields->lpBinaryPathName;
}

bool IsServiceRunning(const wchar_t* serviceName) {
    ServiceHandle manager;
    if (OpenServiceManager(manager) != ERROR_SUCCESS) return false;
    const ServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) return false;
    SERVICE_STATUS status;
    return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

bool StopAndDeleteService(const wchar_t* serviceName) {
    ServiceHandle manager;
    if (OpenServiceManager(manager) != ERROR_SUCCESS) return false;
    const ServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) return false;
    if (RequestStop(service.get()) || RequestStop(service.get())) WaitWhileStopping(service.get());
    return DeleteService(service.get()) != FALSE;
}

}  // namespace vtpi
