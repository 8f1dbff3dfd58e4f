// The sequence of steps of one call, in both directions.
#pragma once

#include <windows.h>

#include "base/trace.h"
#include "steps/install_paths.h"

namespace vtpi {

// Runs the steps that apply to this system and direction, in order, and
// traces the call's result. ERROR_SUCCESS, or the error of the step whose
// failure ended the call (named in *failedStep when asked for): what the
// export's caller sees as the last error.
DWORD RunSequence(bool install, const InstallPaths& paths, const char** failedStep = nullptr);

// What an entry does beside the sequence.
enum class Extra {
    None,
    RecordTrayFirst,    // the tray application is recorded first, under a guard
    DropFileListAfter,  // the folder's VTFILES41.LST goes afterwards (a rollback)
};

// One call of an entry, whose CallTrace `trace` is open: checks `folder`
// (null when the entry has none to give), refusing one no path may be built
// from with ERROR_INVALID_PARAMETER and, on install, one that is not an
// existing folder with ERROR_PATH_NOT_FOUND, before anything changes; opens
// the trace file; holds the machine-wide call lock (ERROR_TIMEOUT when
// another call holds it too long); and runs the sequence with its extra.
// ERROR_SUCCESS, or the error that ended the call (and its step's name in
// *failedStep when asked for).
DWORD RunCall(CallTrace& trace, const wchar_t* folder, bool install, Extra extra,
              const char** failedStep = nullptr);

}  // namespace vtpi
