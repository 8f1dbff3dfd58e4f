// The tray application's record in the machine's shared-files list and in the
// client's application file list.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

constexpr const wchar_t* kSharedFilesKey = L"Software\\Tessavar\\SharedFiles";
constexpr const wchar_t* kTrayApplication = L"\\Veltrane Tray Manager\\VtTrayManager.exe";
constexpr const wchar_t* kApplicationId = L"VTDE5";
constexpr const wchar_t* kFileListName = L"VTFILES41.LST";

// Adds the client's id to the tray application's shared-files entry when the
// application exists, and records it in <installDir>\VTFILES41.LST. Under
// WoW64 an application found only under the native Program Files folder is
// recorded by that path.
void RegisterTrayApplication(const wchar_t* installDir);

// Adds `appId` to the shared-files entry whose "Path" is `filePath` (ASCII
// case ignored), or makes a new "Entry<n>" with the lowest free n.
void RegisterSharedFile(const wchar_t* filePath, const wchar_t* appId);

// True when a direct subkey of `key` is named `name`, ASCII case ignored.
BOOL SubkeyExists(HKEY key, const wchar_t* name);

// The file-system path of a shell special folder; true only when the folder
// was found and converted to a path.
BOOL GetSpecialFolderPath(int csidl, wchar_t* path);

// True when `path` names an existing item that is not a directory.
BOOL IsExistingFile(const wchar_t* path);

// Reads one value of any type, in the registry view `view` names when it is
// not 0; false when the key or value cannot be read or the value is larger
// than `size` bytes.
BOOL ReadRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, void* data, DWORD size,
                       REGSAM view = 0);

}  // namespace vtpi
