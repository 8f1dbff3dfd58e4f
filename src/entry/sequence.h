// The sequence of steps of one call, in both directions.
#pragma once

#include <windows.h>

#include "steps/install_paths.h"

namespace vtpi {

// Runs the steps that apply to this system and direction, in order, and
// traces the call's result. ERROR_SUCCESS, or the error of the step whose
// failure ended the call (named in *failedStep when asked for): what the
// export's caller sees as the last error.
DWORD RunSequence(bool install, const InstallPaths& paths, const char** failedStep = nullptr);

// The name of the machine-wide lock that every call changing the machine
// holds from its checked folder to its end: in the Global namespace where
// the system has one.
const char* CallLockName();

// Records the tray application under a guard: neither its failures nor an
// exception raised inside it reach the call's result or last error.
void RecordTrayApplication(const InstallPaths& paths);

}  // namespace vtpi
