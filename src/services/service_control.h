// The client-manager service, which install creates and uninstall removes,
// and the legacy configuration manager, which both remove when it runs.
#pragma once

#include <windows.h>

namespace vtpi {

constexpr const wchar_t* kClientManagerService = L"VeltraneClientManager";
constexpr const wchar_t* kClientManagerDisplayName = L"Veltrane Client Manager";
constexpr const wchar_t* kClientManagerExe = L"\\VtClientManager.exe";
constexpr const wchar_t* kClientManagerGroup = L"Extended Base";
constexpr const wchar_t* kLegacyService = L"VeltraneConfigurationManager";
constexpr const wchar_t* kRunKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kLegacyRunValue = L"VTMGRNT.EXE";

// Creates the client manager as an automatic-start service whose image path
// is the quoted install-directory executable. An existing registration is
// left as it is, except that an image path of exactly the unquoted
// install-directory executable (as earlier releases wrote it) is quoted.
// False only when the service control manager cannot be opened.
BOOL InstallClientManagerService(const wchar_t* installDir, BOOL start);

// Stops (waiting while it stops) and deletes the client manager. False only
// when the service control manager cannot be opened.
BOOL RemoveClientManagerService();

// On the NT family: stops and deletes the legacy configuration manager when it
// is running, and deletes its autorun value (from both registry views under
// WoW64). Always true.
BOOL RemoveLegacyConfigManager();

// True when the service exists and reports SERVICE_RUNNING.
BOOL IsServiceRunning(const wchar_t* serviceName);

// Stops the service (a refused request is sent once more) and deletes it;
// the result of the deletion.
BOOL StopAndDeleteService(const wchar_t* serviceName);

// Deletes one value; the key is created when it does not exist. `view` may
// name a registry view (KEY_WOW64_64KEY or KEY_WOW64_32KEY). True exactly
// when the value was deleted.
BOOL DeleteRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, REGSAM view = 0);

}  // namespace vtpi
