#include "entry/sequence.h"

#include "base/files.h"
#include "base/guard.h"
#include "base/machine_lock.h"
#include "base/os_version.h"
#include "base/trace.h"
#include "steps/boot_locale.h"
#include "steps/class_filters.h"
#include "steps/client_manager.h"
#include "steps/disk_filter.h"
#include "steps/driver_refresh.h"
#include "steps/legacy_service.h"
#include "steps/main_driver.h"
#include "steps/tray_application.h"

namespace vtpi {

namespace {

enum class Systems { Every, NtFamily, NtBefore2000, Windows2000On, VistaOn };
enum class Direction { Both, InstallOnly, UninstallOnly };
// InstallEnds: the failure ends an install; an uninstall goes on without
// what the step found missing, as its lists must lose the filter anyway.
enum class OnFailure { CallGoesOn, CallEnds, InstallEnds };

struct Step {
    const char* name;  // its trace line's label; null for a step that traces itself
    Systems systems;
    Direction direction;
    OnFailure onFailure;
    bool runsAfterAFailure;  // still runs when an earlier step has ended the call
    DWORD (*run)(bool install, const InstallPaths& paths);
};

// Before Windows 2000 there are no class lists to edit, only the driver to
// refresh, and on NT 4.0 that refresh runs even when the main driver is
// missing. An uninstall deletes a staged driver copy that a call ended
// midway left behind. The tray application is not here: IDLL_helper records
// it before the sequence, under a guard.
constexpr Step kSteps[] = {
    {nullptr, Systems::Every, Direction::Both, OnFailure::CallGoesOn, false,
     [](bool, const InstallPaths& paths) { return FillBootLocale(paths.localeMap); }},
    {"main driver present", Systems::Every, Direction::Both, OnFailure::InstallEnds, false,
     [](bool, const InstallPaths&) { return CheckMainDriverPresent(); }},
    {"disk filter", Systems::Windows2000On, Direction::Both, OnFailure::CallEnds, false,
     [](bool install, const InstallPaths& paths) { return UpdateDiskFilter(install, paths.driverCopy); }},
    {nullptr, Systems::NtBefore2000, Direction::InstallOnly, OnFailure::CallEnds, true,
     [](bool, const InstallPaths& paths) { return RefreshMainDriver(paths.driverCopy); }},
    {nullptr, Systems::NtFamily, Direction::UninstallOnly, OnFailure::CallGoesOn, false,
     [](bool, const InstallPaths&) { return RemoveStagedDriver(); }},
    {"floppy filter (a failure is ignored)", Systems::Windows2000On, Direction::Both, OnFailure::CallGoesOn, false,
     [](bool install, const InstallPaths&) { return UpdateFloppyFilter(install); }},
    {nullptr, Systems::NtFamily, Direction::Both, OnFailure::CallGoesOn, false,
     [](bool, const InstallPaths&) { return RemoveLegacyConfigManager(); }},
    {"client manager service", Systems::Every, Direction::Both, OnFailure::CallEnds, false,
     [](bool install, const InstallPaths& paths) { return install ? InstallClientManager(paths) : RemoveClientManager(); }},
    {"crash-dump filter", Systems::VistaOn, Direction::Both, OnFailure::CallEnds, false,
     [](bool install, const InstallPaths&) { return UpdateDumpFilter(install); }},
};

// The system, read once per call.
struct System {
    bool nt = IsNtPlatform() != FALSE;
    bool windows2000On = IsWindows2000OrLater() != FALSE;
    bool vistaOn = IsVistaOrLater() != FALSE;
};

bool Applies(const Step& step, bool install, const System& system) {
    if (step.direction == (install ? Direction::UninstallOnly : Direction::InstallOnly)) return false;
    switch (step.systems) {
        case Systems::Every: return true;
        case Systems::NtFamily: return system.nt;
        case Systems::NtBefore2000: return system.nt && !system.windows2000On;
        case Systems::Windows2000On: return system.windows2000On;
        case Systems::VistaOn: return system.vistaOn;
    }
    return false;
}

}  // namespace

DWORD RunSequence(bool install, const InstallPaths& paths, const char** failedStep) {
    Trace("%s in %s", install ? L"install" : L"uninstall", paths.folder);
    const System system;
    DWORD failure = ERROR_SUCCESS;
    for (const Step& step : kSteps) {
        if (!Applies(step, install, system)) continue;
        if (failure != ERROR_SUCCESS && !step.runsAfterAFailure) break;
        const DWORD error = step.run(install, paths);
        if (step.name) TraceStep(step.name, error);
        if (error == ERROR_SUCCESS || step.onFailure == OnFailure::CallGoesOn) continue;
        if (step.onFailure == OnFailure::InstallEnds && !install) {
            Trace("  the uninstall goes on without it");
        } else if (failure == ERROR_SUCCESS) {
            failure = error;
            if (failedStep) *failedStep = step.name;
        }
    }
    if (failure == ERROR_SUCCESS) {
        Trace("result 0");
    } else {
        Trace("result -1, error %lu", failure);
    }
    return failure;
}

namespace {

// Records the tray application under a guard: neither its failures nor an
// exception raised inside it reach the call's result or last error.
void RecordTrayApplication(const InstallPaths& paths) {
    const bool finished = RunGuarded(
        [](const void* context) { RegisterTrayApplication(*static_cast<const InstallPaths*>(context)); }, &paths);
    if (!finished) Trace("tray application: stopped by an exception, ignored");
}

DWORD Refuse(const char* line, const char* step, DWORD error, const char** failedStep) {
    if (failedStep) *failedStep = step;
    return TraceStep(line, error);
}

}  // namespace

DWORD RunCall(CallTrace& trace, const wchar_t* folder, bool install, Extra extra, const char** failedStep) {
    InstallPaths paths;
    const bool usable = BuildInstallPaths(folder, paths);
    trace.OpenFile(usable ? folder : nullptr);
    if (!usable) {
        return Refuse("install directory (null, over 237 characters, relative, a device, pipe or namespace path, or "
                      "no folder name)",
                      "install directory", ERROR_INVALID_PARAMETER, failedStep);
    }
    // The service and the boot driver an install registers come from the
    // folder: it must be one. An uninstall still runs once it is gone.
    if (install && !IsExistingFolder(folder)) {
        return Refuse("install directory (not an existing folder)", "install directory", ERROR_PATH_NOT_FOUND,
                      failedStep);
    }
    // The machine-wide lock: from Windows 2000 on in the Global namespace and
    // guarded; before, under its plain name, as it always was.
    static const char kLockName[] = "Global\\VtPostInstall";
    const bool guarded = IsWindows2000OrLater() != FALSE;
    MachineLock lock;
    const DWORD locked = lock.Take(guarded ? kLockName : kLockName + 7, guarded);
    if (locked != ERROR_SUCCESS) {
        return Refuse("call lock (held by another call for 10 minutes)", "call lock", locked, failedStep);
    }
    if (extra == Extra::RecordTrayFirst) RecordTrayApplication(paths);
    const DWORD error = RunSequence(install, paths, failedStep);
    if (extra == Extra::DropFileListAfter) {
        // The failed install wrote it, and no file action of the package
        // removes it in a rollback.
        const bool deleted = DeleteFileW(paths.fileList) || GetLastError() == ERROR_FILE_NOT_FOUND;
        Trace("VTFILES41.LST: %s", deleted ? L"gone" : L"not deleted");
    }
    return error;
}

}  // namespace vtpi
