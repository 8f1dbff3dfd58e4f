// The Windows Installer custom actions, each UINT __stdcall (MSIHANDLE):
//   VtMsiCheckClient  immediate, read-only: sets VTCLIENTCONFIGURED to 1 when
//                     the disk class list names the filter already, so that
//                     the package can leave such a machine's client alone on
//                     rollback;
//   VtMsiInstall      deferred: the whole install for the folder in
//                     CustomActionData;
//   VtMsiUninstall    deferred: the whole uninstall for that folder;
//   VtMsiRollback     rollback: the uninstall sequence for that folder, then
//                     the folder's VTFILES41.LST goes, which the failed
//                     install wrote there and no file action of the package
//                     removes in a rollback.
// Each call's trace goes into the installer's log, followed by its result.
#include "VtPostInstall.h"
#include "base/machine_lock.h"
#include "base/msi.h"
#include "base/text.h"
#include "base/trace.h"
#include "entry/sequence.h"
#include "steps/disk_filter.h"
#include "steps/install_paths.h"

namespace vtpi {

namespace {

constexpr const wchar_t* kClientConfiguredProperty = L"VTCLIENTCONFIGURED";

enum class Action { Install, Uninstall, Rollback };

void LogLine(const void* session, const wchar_t* line) {
    wchar_t prefixed[1100];
    CopyString(prefixed, 1100, L"VtPostInstall: ");
    AppendString(prefixed, 1100, line);
    static_cast<const InstallerSession*>(session)->Log(prefixed);
}

// The folder as [INSTALLDIR] gives it, with its trailing backslash dropped
// (but for a drive's root), so that no path built from it doubles one.
bool ReadInstallFolder(const InstallerSession& session, wchar_t (&folder)[VTPI_MAX_INSTALL_DIR + 2]) {
    if (!session.GetProperty(L"CustomActionData", folder, VTPI_MAX_INSTALL_DIR + 2)) return false;
    int32_t length = BoundedLength(folder, VTPI_MAX_INSTALL_DIR + 2);
    while (length > 3 && folder[length - 1] == L'\\') folder[--length] = 0;
    return true;
}

UINT RunCustomAction(MSIHANDLE install, const wchar_t* name, Action action) {
    const InstallerSession session(install);
    if (!session.ok()) return ERROR_INSTALL_FAILURE;
    DWORD error;
    const char* failedStep = "CustomActionData";
    {
        CallTrace trace(LogLine, &session);
        Trace("%s", name);
        wchar_t folder[VTPI_MAX_INSTALL_DIR + 2];
        InstallPaths paths;
        if (ReadInstallFolder(session, folder) && BuildInstallPaths(folder, paths)) {
            const MachineLock lock(CallLockName());
            if (action != Action::Rollback) RecordTrayApplication(paths);
            error = RunSequence(action == Action::Install, paths, &failedStep);
            if (action == Action::Rollback) {
                const bool deleted = DeleteFileW(paths.fileList) || GetLastError() == ERROR_FILE_NOT_FOUND;
                Trace("VTFILES41.LST: %s", deleted ? L"gone" : L"not deleted");
            }
        } else {
            error = TraceStep("CustomActionData (empty, over 237 characters, relative, or no folder name)",
                              ERROR_INVALID_PARAMETER);
        }
    }
    wchar_t result[160];
    if (error == ERROR_SUCCESS) {
        wsprintfW(result, L"VtPostInstall: %s: result 0", name);
    } else {
        wsprintfW(result, L"VtPostInstall: %s: result -1, error %lu, in step: %.64hs", name, error, failedStep);
    }
    session.Log(result);
    return error == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace
}  // namespace vtpi

extern "C" UINT __stdcall VtMsiInstall(MSIHANDLE install) {
    return vtpi::RunCustomAction(install, L"VtMsiInstall", vtpi::Action::Install);
}

extern "C" UINT __stdcall VtMsiUninstall(MSIHANDLE install) {
    return vtpi::RunCustomAction(install, L"VtMsiUninstall", vtpi::Action::Uninstall);
}

extern "C" UINT __stdcall VtMsiRollback(MSIHANDLE install) {
    return vtpi::RunCustomAction(install, L"VtMsiRollback", vtpi::Action::Rollback);
}

extern "C" UINT __stdcall VtMsiCheckClient(MSIHANDLE install) {
    const vtpi::InstallerSession session(install);
    if (!session.ok()) return ERROR_INSTALL_FAILURE;
    const bool listed = vtpi::IsDiskFilterListed();
    session.Log(listed ? L"VtPostInstall: VtMsiCheckClient: the disk class list names the filter: client configured"
                       : L"VtPostInstall: VtMsiCheckClient: no client configured");
    if (listed && !session.SetProperty(vtpi::kClientConfiguredProperty, L"1")) return ERROR_INSTALL_FAILURE;
    return ERROR_SUCCESS;
}
