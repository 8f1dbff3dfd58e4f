// Pre-boot locale: default keyboard and language codes for the pre-boot
// environment's configuration file, looked up in the install folder's
// locale map.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

// The whole step: on the first reachable encrypted file system, fills the
// missing pre-boot locale entries. Never fails: ERROR_SUCCESS.
DWORD FillBootLocale(const wchar_t* localeMap);

// Fills `root` (capacity units) with the root of the first reachable
// encrypted file system, "\\.\VeltraneFS" or "\\Veltrane\Vtfs"; false, and
// an empty root, when neither probe file opens. The network root is probed
// only when the device root exists on this machine.
bool FindEncryptedFsRoot(wchar_t* root, int32_t capacity);

// Fills a missing or empty "Keyboard", then "Language", entry of the
// "Locale" section of <root>\Boot\Bootcode.ini; entries with a value stay.
void EnsureBootLocale(const wchar_t* localeMap, const wchar_t* root);

// The map's code for the active keyboard layout, or "0409".
void LookupKeyboardCode(const wchar_t* localeMap, wchar_t* code, int32_t capacity);
// The map's code for the system default language, or "0409".
void LookupLanguageCode(const wchar_t* localeMap, wchar_t* code, int32_t capacity);

}  // namespace vtpi
