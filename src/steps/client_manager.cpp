#include "steps/client_manager.h"

#include "base/owner.h"
#include "base/files.h"
#include "base/services.h"
#include "base/text.h"
#include "base/trace.h"
#include "base/wow64.h"

namespace vtpi {

namespace {

// The program an image path runs: its quoted part, or an unquoted path up to
// and including its first ".exe". False when there is none, or it is not an
// absolute path (an environment string, a kernel path) or too long.
bool ProgramOf(const wchar_t* image, wchar_t (&program)[MAX_PATH]) {
    const bool quoted = image[0] == L'"';
    if (quoted) ++image;
    int32_t length = 0;
    while (image[length] != 0 && (quoted ? image[length] != L'"' : !AfterPrefix(image + length, L".exe"))) ++length;
    if (image[length] == 0) return false;  // no closing quote, or no ".exe"
    if (!quoted) length += 4;
    if (length < 3 || length >= MAX_PATH) return false;
    const bool absolute = (image[1] == L':' && image[2] == L'\\') || (image[0] == L'\\' && image[1] == L'\\');
    if (!absolute) return false;
    CopyMemory(program, image, length * sizeof(wchar_t));
    program[length] = 0;
    return true;
}

// Whether the image path's program is known not to exist, looked up in the
// native file system.
bool RunsAMissingProgram(const wchar_t* image) {
    wchar_t program[MAX_PATH];
    if (!ProgramOf(image, program)) return false;
    NativeFileSystem native;
    return native.ok() && IsMissingFile(program);
}

// Earlier releases registered the client manager with the image path
// unquoted; such a registration of this same folder, or one whose program no
// longer exists (a folder since removed), gets this folder's quoted path and
// keeps everything else. Any other registration is left as it is.
void RepairEarlierRegistration(SC_HANDLE manager, const InstallPaths& paths) {
    const ServiceHandle service(OpenServiceW(manager, kClientManagerService, SERVICE_ALL_ACCESS));
    HeapBlock config;
    const wchar_t* image = service ? ReadImagePath(service.get(), config) : nullptr;
    const char* reason = nullptr;
    if (image && SamePath(image, paths.clientManager)) {
        reason = "registered unquoted";
    } else if (image && RunsAMissingProgram(image)) {
        reason = "its program is missing";
    }
    if (!reason) {
        Trace("  client manager exists: kept as it is");
        return;
    }
    const BOOL changed = ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                              paths.clientManagerImage, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr);
    Trace("  client manager exists, %hs: %hs, error %lu", reason,
          changed ? "given this folder's quoted path" : "not changed", changed ? 0 : GetLastError());
}

}  // namespace

DWORD InstallClientManager(const InstallPaths& paths) {
    ServiceHandle manager;
    const DWORD opened = OpenServiceManager(manager);
    if (opened != ERROR_SUCCESS) return opened;
    // An existing service makes the creation fail and stays as it is, but
    // for a registration an earlier release left (RepairEarlierRegistration).
    const ServiceHandle service(CreateServiceW(manager.get(), kClientManagerService, kClientManagerDisplayName,
                                               SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, paths.clientManagerImage, kClientManagerGroup,
                                               nullptr, L"\0", nullptr, nullptr));
    const DWORD error = service ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SERVICE_EXISTS) {
        RepairEarlierRegistration(manager.get(), paths);
        return ERROR_SUCCESS;
    }
    // Any other failure (one still marked for deletion, say) leaves the
    // machine without the client manager: the install fails with it.
    Trace("  client manager %s, error %lu", service ? L"created" : L"not created", error);
    return error;
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
