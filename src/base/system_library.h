// Libraries and entry points reached at run time: libraries that are not
// known DLLs, loaded only from the system directory, and functions that older
// systems lack or export by ordinal alone.
#pragma once

#include <windows.h>

namespace vtpi {

// The system directory followed by `suffix` (which starts with a backslash);
// false when the directory is unavailable or the result would not fit.
bool BuildSystemPath(wchar_t* path, int capacity, const wchar_t* suffix);

// Loads `fileName` from the system directory by its full path, never by bare
// name, so that a DLL of that name planted beside the setup program is not
// picked up, and so that its own imports resolve from the system directory,
// not from the setup program's. Null when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

// The entry point `name` (a name, or an ordinal through MAKEINTRESOURCEA) of
// `module`, a DLL already in the process (one this DLL imports from); null
// when the module or the entry point is missing, as on older systems.
void* LoadedFunction(const char* module, const char* name);

// Fills `slot` with the entry point `name` (a name, or an ordinal through
// MAKEINTRESOURCEA) of `module`; false when it has none.
template <typename Slot>
bool LookUp(HMODULE module, const char* name, Slot& slot) {
    slot = reinterpret_cast<Slot>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return slot != nullptr;
}

// The thread's last error, or ERROR_GEN_FAILURE when a failed call left none.
DWORD LastErrorOrGeneric();

}  // namespace vtpi
