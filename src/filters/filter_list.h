// Filter-driver lists held in registry values under HKEY_LOCAL_MACHINE.
//
// Each edit reads the whole value, removes every copy of the filter name, on
// install puts one copy at the front, and writes the whole list back as
// REG_MULTI_SZ. A value that is absent counts as the empty list; a value that
// cannot be read for any other reason is left as it is and the edit fails.
#pragma once

#include <windows.h>

#include "base/handles.h"

namespace vtpi {

constexpr const wchar_t* kDiskClassKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
constexpr const wchar_t* kFloppyClassKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E980-E325-11CE-BFC1-08002BE10318}";
constexpr const wchar_t* kCrashControlKey = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";
constexpr const wchar_t* kUpperFiltersValue = L"UpperFilters";
constexpr const wchar_t* kDumpFiltersValue = L"DumpFilters";
constexpr const wchar_t* kDiskFilterName = L"VELTRANE";
constexpr const wchar_t* kFloppyFilterName = L"VTFLOP";
constexpr const wchar_t* kDumpFilterName = L"VtHiber.sys";

enum class ListRead { Present, Absent, Failed };

// Reads a value of any type whole into `list` as a multi-string list: the
// buffer grows while the value reports more data, and keeps `spareUnits`
// units free plus two zero units behind the data, so that data lacking its
// final NUL ends there. An absent value leaves the empty list.
ListRead ReadListValue(HKEY key, const wchar_t* valueName, int spareUnits, HeapBlock& list);

// Reads the list with room for `filterName` in front and removes every copy of
// it. False (nothing to write) when the value could not be read.
bool ReadListWithout(HKEY key, const wchar_t* valueName, const wchar_t* filterName,
                     HeapBlock& list);

// Puts `frontName` (when not null) at the front of the list and writes it whole
// as REG_MULTI_SZ. True exactly when the value was written.
bool WriteList(HKEY key, const wchar_t* valueName, HeapBlock& list, const wchar_t* frontName);

// The value edit on an existing key below HKEY_LOCAL_MACHINE, which is never
// created. True exactly when the value was written.
bool AddToFilterList(const wchar_t* subKey, const wchar_t* valueName, const wchar_t* filterName);
bool RemoveFromFilterList(const wchar_t* subKey, const wchar_t* valueName,
                          const wchar_t* filterName);

// The floppy class list edit, on Windows 2000 or later only. True when it
// was made or is not needed; the sequence ignores a failure.
bool UpdateFloppyClassFilter(int install);

}  // namespace vtpi
