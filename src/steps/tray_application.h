// Tray application: its record in the machine's shared-files list and in the
// client's application file list. Only IDLL_helper records it, in both
// directions.
#pragma once

#include <windows.h>

#include "steps/install_paths.h"

namespace vtpi {

constexpr const wchar_t* kSharedFilesKey = L"Software\\Tessavar\\SharedFiles";
constexpr const wchar_t* kTrayApplication = L"\\Veltrane Tray Manager\\VtTrayManager.exe";
constexpr const wchar_t* kApplicationId = L"VTDE5";

// Adds the client's id to the tray application's shared-files entry when the
// application exists, and records it in the install folder's file list. Under
// WoW64 an application found only under the native Program Files folder is
// recorded by that path. Nothing here can fail a call: ERROR_SUCCESS, or the
// error of the file list's write.
DWORD RegisterTrayApplication(const InstallPaths& paths);

// Adds `appId` to the shared-files entry whose "Path" is `filePath` (ASCII
// case ignored), or makes a new "Entry<n>" with the lowest free n.
void RegisterSharedFile(const wchar_t* filePath, const wchar_t* appId);

}  // namespace vtpi
