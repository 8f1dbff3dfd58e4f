// Client manager: the client's service, which install registers and
// uninstall removes.
#pragma once

#include <windows.h>

#include "steps/install_paths.h"

namespace vtpi {

constexpr const wchar_t* kClientManagerService = L"VeltraneClientManager";
constexpr const wchar_t* kClientManagerDisplayName = L"Veltrane Client Manager";
constexpr const wchar_t* kClientManagerGroup = L"Extended Base";

// Registers the client manager as an automatic-start service, not started,
// whose image path is the quoted install-folder executable. An existing
// registration is left as it is, except that an image path of the unquoted
// install-folder executable (as earlier releases wrote it) is quoted and one
// whose program no longer exists is pointed at this folder's. A service
// control manager that cannot be opened, or a creation that fails for any
// reason but an existing service, fails it with its error.
DWORD InstallClientManager(const InstallPaths& paths);

// Stops the client manager, waits while it stops, and deletes it. Only a
// service control manager that cannot be opened fails it.
DWORD RemoveClientManager();

}  // namespace vtpi
