// The two exports. Each traces its call and sets the thread's last error
// once, from the sequence's result: ERROR_SUCCESS with 0, the error of the
// step that failed with -1. The trace is written out before it is set. A
// call with a usable folder holds the machine-wide call lock to its end.
#include "VtPostInstall.h"
#include "base/machine_lock.h"
#include "base/trace.h"
#include "entry/sequence.h"
#include "steps/install_paths.h"

namespace vtpi {

namespace {

// Each byte becomes the UTF-16 unit of the same value, without a code page;
// false for a NULL directory or one longer than VTPI_MAX_INSTALL_DIR bytes.
bool WidenAnsiDirectory(const char* installDir, wchar_t (&wide)[VTPI_MAX_INSTALL_DIR + 1]) {
    if (!installDir) return false;
    int length = 0;
    for (; installDir[length] != 0; ++length) {
        if (length == VTPI_MAX_INSTALL_DIR) return false;
        wide[length] = static_cast<unsigned char>(installDir[length]);
    }
    wide[length] = 0;
    return true;
}

int Answer(DWORD error) {
    SetLastError(error);
    return error == ERROR_SUCCESS ? 0 : -1;
}

}  // namespace
}  // namespace vtpi

extern "C" int __cdecl VT_installer(int install, const wchar_t* installDir, int reserved) {
    (void)reserved;
    DWORD error;
    {
        vtpi::CallTrace trace;
        vtpi::Trace("VT_installer");
        vtpi::InstallPaths paths;
        if (vtpi::BuildInstallPaths(installDir, paths)) {
            const vtpi::MachineLock lock(vtpi::CallLockName());
            error = vtpi::RunSequence(install != 0, paths);
        } else {
            error = vtpi::TraceStep("install directory (null, over 237 characters, relative, or no folder name)",
                                    ERROR_INVALID_PARAMETER);
        }
    }
    return vtpi::Answer(error);
}

extern "C" int __cdecl IDLL_helper(const char* installDir, int install, int reserved) {
    (void)reserved;
    DWORD error;
    {
        vtpi::CallTrace trace;
        vtpi::Trace("IDLL_helper");
        wchar_t wide[VTPI_MAX_INSTALL_DIR + 1];
        vtpi::InstallPaths paths;
        if (vtpi::WidenAnsiDirectory(installDir, wide) && vtpi::BuildInstallPaths(wide, paths)) {
            const vtpi::MachineLock lock(vtpi::CallLockName());
            vtpi::RecordTrayApplication(paths);
            error = vtpi::RunSequence(install != 0, paths);
        } else {
            error = vtpi::TraceStep("install directory (null, over 237 bytes, relative, or no folder name)",
                                    ERROR_INVALID_PARAMETER);
        }
    }
    return vtpi::Answer(error);
}
