// Floppy and crash-dump filters: the client's filters at the front of the
// floppy class's upper filters and of the crash-dump filters (install), or
// out of them (uninstall). The keys are never created.
#pragma once

#include <windows.h>

namespace vtpi {

constexpr const wchar_t* kFloppyClassKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E980-E325-11CE-BFC1-08002BE10318}";
constexpr const wchar_t* kFloppyFilterName = L"VTFLOP";
constexpr const wchar_t* kCrashControlKey = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";
constexpr const wchar_t* kDumpFiltersValue = L"DumpFilters";
constexpr const wchar_t* kDumpFilterName = L"VtHiber.sys";

// ERROR_SUCCESS exactly when the list was written.
DWORD UpdateFloppyFilter(bool install);
DWORD UpdateDumpFilter(bool install);

}  // namespace vtpi
