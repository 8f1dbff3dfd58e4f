// Registry helpers: whole reads of list values that grow their buffer, the
// list edits made of them, and single values and subkeys.
//
// A list edit reads the whole value, removes every copy of a name, puts one
// copy at the front when asked, and writes the whole list back as
// REG_MULTI_SZ. A value that is absent counts as the empty list; a value that
// cannot be read for any other reason is left as it is and the edit fails.
#pragma once

#include <windows.h>

#include "base/owner.h"

namespace vtpi {

// Reads a value of any type whole into `list` as a multi-string list: the
// buffer grows while the value reports more data, and keeps `spareUnits`
// units free plus two zero units behind the data, so that data lacking its
// final NUL ends there. ERROR_SUCCESS when read; ERROR_FILE_NOT_FOUND when
// the value is absent, with the empty list in `list`; any other error when it
// could not be read, with `list` freed.
DWORD ReadListValue(HKEY key, const wchar_t* valueName, int spareUnits, HeapBlock& list);

// Reads the list with room for `name` in front and removes every copy of it.
// An error (nothing to write) when the value could not be read.
DWORD ReadListWithout(HKEY key, const wchar_t* valueName, const wchar_t* name, HeapBlock& list);

// Puts `frontName` (when not null) at the front of the list and writes it
// whole as REG_MULTI_SZ. ERROR_SUCCESS exactly when the value was written.
DWORD WriteList(HKEY key, const wchar_t* valueName, HeapBlock& list, const wchar_t* frontName);

// The list edit on an existing key below HKEY_LOCAL_MACHINE, which is never
// created: every copy of `name` removed and, when `putFirst`, one put at the
// front. ERROR_SUCCESS exactly when the value was written.
DWORD EditListValue(const wchar_t* subKey, const wchar_t* valueName, const wchar_t* name, bool putFirst);

// Opens or creates `name` below `parent` with full access.
LONG CreateKey(HKEY parent, const wchar_t* name, REGSAM view, RegKey& key);

// Reads one value of any type, in the registry view `view` names when it is
// not 0; false when the key or value cannot be read or the value is larger
// than `size` bytes.
bool ReadRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, void* data, DWORD size,
                       REGSAM view = 0);

// Deletes one value; the key is created when it does not exist. `view` may
// name a registry view (KEY_WOW64_64KEY or KEY_WOW64_32KEY). True exactly
// when the value was deleted.
bool DeleteRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, REGSAM view = 0);

// True when a direct subkey of `key` is named `name`, ASCII case ignored.
// Names up to the registry's longest (255 units) are read whole.
bool SubkeyExists(HKEY key, const wchar_t* name);

// The registry's longest key name, and its terminator.
constexpr DWORD kKeyNameUnits = 256;

}  // namespace vtpi
