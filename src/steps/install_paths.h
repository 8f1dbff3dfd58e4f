// The install folder, checked, and every path the library builds from it.
//
// The rule for a trailing backslash, in one place: a path is the folder
// exactly as given followed by the file's path below it, which starts with a
// backslash. A folder given as "C:\Veltrane\" thus gives two backslashes
// before the file name; Windows' file functions read them as one, and the
// client manager's image path records them as given, as earlier releases
// did. The one exception is the driver's install copy: its folder's own
// trailing backslash stands for the separator, so it has exactly one.
#pragma once

#include <windows.h>

namespace vtpi {

struct InstallPaths {
    const wchar_t* folder;
    wchar_t clientManager[MAX_PATH];       // <folder>\VtClientManager.exe
    wchar_t clientManagerImage[MAX_PATH];  // the same in double quotes
    wchar_t driverCopy[MAX_PATH];          // <folder>\veltrane.sys, one backslash
    wchar_t localeMap[MAX_PATH];           // <folder>\Locale\Locale.ini
    wchar_t fileList[MAX_PATH];            // <folder>\VTFILES41.LST
};

// Checks the folder and builds every path from it. False for a folder no
// path may be built from: null, longer than VTPI_MAX_INSTALL_DIR characters
// (every path then fits MAX_PATH), not absolute (a drive letter and a
// backslash, or "\\server\share"), so that no path resolves against the
// setup program's current folder, a device, namespace or pipe path (on any
// host, "\\localhost\pipe\..." too, either slash a separator), or one
// holding a character no folder name can hold (a '"' would end the quoted
// image path of a service that runs as LocalSystem).
bool BuildInstallPaths(const wchar_t* folder, InstallPaths& paths);

}  // namespace vtpi
