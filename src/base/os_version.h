// Which Windows the library runs on; evaluated afresh at each use.
#pragma once

#include <windows.h>

namespace vtpi {

// The Windows NT family: the top bit of GetVersion's value is clear.
BOOL IsNtPlatform();
// NT family with major version 5 or more.
BOOL IsWindows2000OrLater();
// Major version 6 or more as GetVersionExW reports it; false when the query fails.
BOOL IsVistaOrLater();

}  // namespace vtpi
