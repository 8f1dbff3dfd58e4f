// The two exports. Each traces its call and sets the thread's last error
// once, from the sequence's result: ERROR_SUCCESS with 0, the error of the
// step that failed with -1. The trace is written out before it is set.
#include "VtPostInstall.h"
#include "base/trace.h"
#include "entry/sequence.h"

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
        error = vtpi::RunCall(trace, installDir, install != 0, vtpi::Extra::None);
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
        const bool widened = vtpi::WidenAnsiDirectory(installDir, wide);
        error = vtpi::RunCall(trace, widened ? wide : nullptr, install != 0, vtpi::Extra::RecordTrayFirst);
    }
    return vtpi::Answer(error);
}
