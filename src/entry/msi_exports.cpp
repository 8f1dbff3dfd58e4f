// The Windows Installer custom actions, each UINT __stdcall (MSIHANDLE):
//   VtMsiCheckClient  immediate, read-only: sets the private property
//                     VtClientConfigured to 1 when the disk class list or a
//                     disk's own list names the filter already (or cannot be
//                     read), so that the package leaves such a machine's
//                     client alone on rollback;
//   VtMsiInstall      deferred: the whole install for the folder in
//                     CustomActionData;
//   VtMsiUninstall    deferred: the whole uninstall for that folder;
//   VtMsiRollback     rollback: the uninstall sequence for that folder, then
//                     the folder's VTFILES41.LST goes, which the failed
//                     install wrote there and no file action of the package
//                     removes in a rollback.
// Each call's trace goes into the installer's log, its result the last line.
#include "VtPostInstall.h"
#include "base/msi.h"
#include "base/text.h"
#include "base/trace.h"
#include "entry/sequence.h"
#include "steps/disk_filter.h"

namespace vtpi {

namespace {

constexpr const wchar_t* kClientConfiguredProperty = L"VtClientConfigured";

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
    const char* failedStep = "";
    {
        CallTrace trace(LogLine, &session);
        Trace("%s", name);
        wchar_t folder[VTPI_MAX_INSTALL_DIR + 2];
        error = RunCall(trace, ReadInstallFolder(session, folder) ? folder : nullptr, action == Action::Install,
                        action == Action::Rollback ? Extra::DropFileListAfter : Extra::RecordTrayFirst,
                        &failedStep);
        if (error == ERROR_SUCCESS) {
            Trace("%s: result 0", name);
        } else {
            Trace("%s: result -1, error %lu, in step: %.64hs", name, error, failedStep);
        }
    }
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
    const vtpi::CallTrace trace(vtpi::LogLine, &session);
    const bool listed = vtpi::IsDiskFilterListed();
    vtpi::Trace("VtMsiCheckClient: %hs", listed ? "a disk list names the filter, or cannot be read: client configured"
                                                : "no client configured");
    if (listed && !session.SetProperty(vtpi::kClientConfiguredProperty, L"1")) return ERROR_INSTALL_FAILURE;
    return ERROR_SUCCESS;
}
