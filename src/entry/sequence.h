// The sequence of steps of one call, in both directions.
#pragma once

#include <windows.h>

#include "steps/install_paths.h"

namespace vtpi {

// Runs the steps that apply to this system and direction, in order, and
// traces the call's result. ERROR_SUCCESS, or the error of the step whose
// failure ended the call: what the export's caller sees as the last error.
DWORD RunSequence(bool install, const InstallPaths& paths);

}  // namespace vtpi
