// Services in the testbed as tests see them, through the real service
// control manager and the stand-in services' records.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testsvc {

// Runs C:\testbed\standins\svcctl.exe with `args`; its exit code.
DWORD Svcctl(const std::wstring& args);

// Removes both client services and registers the legacy one, stopped: the
// state prepare-machine leaves.
void ResetServices();

struct Config {
    DWORD type = 0, start = 0, errorControl = 0;
    std::wstring path, group, dependencies, account, displayName;
};
bool Exists(const wchar_t* name);
// False when the service does not exist.
bool QueryConfig(const wchar_t* name, Config& config);
// The current state, 0 when the service does not exist.
DWORD State(const wchar_t* name);
// Waits (up to 5 s) until the service no longer exists.
bool WaitUntilGone(const wchar_t* name);

void Start(const wchar_t* name);
// A DWORD in the stand-in's Parameters key: LingerMs, AcceptStop, ...
void SetParameter(const wchar_t* name, const wchar_t* value, DWORD data);

}  // namespace testsvc
