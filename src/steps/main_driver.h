// Main driver present: the client's driver package must have been installed
// before anything else is configured.
#pragma once

#include <windows.h>

namespace vtpi {

constexpr const wchar_t* kMainDriverServiceKey = L"System\\CurrentControlSet\\Services\\Veltrane";

// The driver's system copy, <system directory>\drivers\veltrane.sys; false
// when the system directory is unavailable or the path would not fit.
bool BuildSystemDriverPath(wchar_t (&path)[MAX_PATH]);

// ERROR_SUCCESS when VELTRANE.SYS is in the native system drivers folder and
// the driver's service key opens for reading; ERROR_FILE_NOT_FOUND without
// the file, the registry's error without the key.
DWORD CheckMainDriverPresent();

}  // namespace vtpi
