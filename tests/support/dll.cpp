#include "dll.h"

#include <gtest/gtest.h>

namespace testdll {

HMODULE Module() {
    static HMODULE module = LoadLibraryW(L"VtPostInstall.dll");
    if (!module) ADD_FAILURE() << "VtPostInstall.dll did not load: error " << GetLastError();
    return module;
}

VT_installer_fn Installer() {
    auto fn = reinterpret_cast<VT_installer_fn>(reinterpret_cast<void*>(GetProcAddress(Module(), "VT_installer")));
    if (!fn) ADD_FAILURE() << "VT_installer is not exported";
    return fn;
}

IDLL_helper_fn Helper() {
    auto fn = reinterpret_cast<IDLL_helper_fn>(reinterpret_cast<void*>(GetProcAddress(Module(), "IDLL_helper")));
    if (!fn) ADD_FAILURE() << "IDLL_helper is not exported";
    return fn;
}

}  // namespace testdll
