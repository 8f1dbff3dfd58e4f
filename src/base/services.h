// Service control helpers. Each opens the service control manager with full
// access for itself; a manager that does not open is traced with its error.
#pragma once

#include <windows.h>

#include "base/owner.h"

namespace vtpi {

// Opens the service control manager; ERROR_SUCCESS, or the error it gave.
DWORD OpenServiceManager(ServiceHandle& manager);

// Sends one stop request; true when the service accepted it.
bool RequestStop(SC_HANDLE service);

// Polls once a second for as long as the service reports that it is
// stopping, with no upper bound: the service, not the caller, ends the wait.
void WaitWhileStopping(SC_HANDLE service);

// The service's image path, held in `config`; null when it cannot be read.
const wchar_t* ReadImagePath(SC_HANDLE service, HeapBlock& config);

// True when the service exists and reports SERVICE_RUNNING.
bool IsServiceRunning(const wchar_t* serviceName);

// Stops the service (a refused request is sent once more), waits while it
// stops and deletes it; the result of the deletion.
bool StopAndDeleteService(const wchar_t* serviceName);

}  // namespace vtpi
