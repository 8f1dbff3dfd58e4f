// Legacy service: the configuration manager of earlier releases, and its
// autorun value, on the NT family.
#pragma once

#include <windows.h>

namespace vtpi {

constexpr const wchar_t* kLegacyService = L"VeltraneConfigurationManager";
constexpr const wchar_t* kRunKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kLegacyRunValue = L"VTMGRNT.EXE";

// Stops and deletes the legacy configuration manager when it is running
// (installed but stopped, it is left alone), and deletes its autorun value,
// from both registry views under WoW64. Never fails: ERROR_SUCCESS.
DWORD RemoveLegacyConfigManager();

}  // namespace vtpi
