// The install sequence behind the exports.
#pragma once

#include <windows.h>

namespace vtpi {

// A directory the library can build every one of its paths from: not null and
// at most VTPI_MAX_INSTALL_DIR characters.
bool IsUsableInstallDir(const wchar_t* installDir);

// Runs every configuration step in order; false when a gating step failed.
bool RunInstallSequence(bool install, const wchar_t* installDir);

}  // namespace vtpi
