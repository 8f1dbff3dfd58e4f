// The DLL under test, loaded from the test program's folder.
#pragma once

#include <windows.h>

#include "VtPostInstall.h"

namespace testdll {

HMODULE Module();
VT_installer_fn Installer();
IDLL_helper_fn Helper();

}  // namespace testdll
