#include "steps/client_manager.h"

#include "base/owner.h"
#include "base/services.h"
#include "base/trace.h"

namespace vtpi {

namespace {

// Earlier releases registered the client manager with the image path
// unquoted; such a registration of this same folder gets the quoted path
// and keeps everything else. Any other registration is left as it is.
void QuoteEarlierRegistration(SC_HANDLE manager, const InstallPaths& paths) {
    const ServiceHandle service(OpenServiceW(manager, kClientManagerService, SERVICE_ALL_ACCESS));
    if (!service || !HasImagePath(service.get(), paths.clientManager)) {
        Trace("  client manager exists: kept as it is");
        return;
    }
    const BOOL quoted = ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                             paths.clientManagerImage, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr);
    Trace("  client manager exists, registered unquoted: %s, error %lu", quoted ? L"quoted" : L"not quoted",
          quoted ? 0 : GetLastError());
}

}  // namespace

DWORD InstallClientManager(const InstallPaths& paths) {
    ServiceHandle manager;
    const DWORD opened = OpenServiceManager(manager);
    if (opened != ERROR_SUCCESS) return opened;
    // An existing service makes the creation fail and stays as it is, but
    // for the quotes an earlier release left out.
    const ServiceHandle service(CreateServiceW(manager.get(), kClientManagerService, kClientManagerDisplayName,
                                               SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, paths.clientManagerImage, kClientManagerGroup,
                                               nullptr, L"\0", nullptr, nullptr));
    const DWORD error = service ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
        QuoteEarlierRegistration(manager.get(), paths);
    } else {
        Trace("  client manager %s, error %lu", service ? L"created" : L"not created", error);
    }
    return ERROR_SUCCESS;
}

DWORD RemoveClientManager() {
    ServiceHandle manager;
    const DWORD opened = OpenServiceManager(manager);
    if (opened != ERROR_SUCCESS) return opened;
    const ServiceHandle service(OpenServiceW(manager.get(), kClientManagerService, SERVICE_ALL_ACCESS));
    if (!service) {
        Trace("  client manager did not open, error %lu: nothing to remove", GetLastError());
        return ERROR_SUCCESS;
    }
    if (RequestStop(service.get())) WaitWhileStopping(service.get());
    const BOOL deleted = DeleteService(service.get());
    Trace("  client manager %s, error %lu", deleted ? L"deleted" : L"not deleted", deleted ? 0 : GetLastError());
    return ERROR_SUCCESS;
}

}  // namespace vtpi
