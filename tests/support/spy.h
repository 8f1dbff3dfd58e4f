// Test-only spy: patches a module's import table so that chosen Windows calls
// are recorded in order and, on request, fail with a chosen error.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace spy {

struct Call {
    std::string function;
    std::wstring detail;  // the key, value or path the call names, where it has one
    // What an open or create asks for: the access mask (for registry keys,
    // with any view flag), for CreateFileW the share mode and flags, and for
    // LoadLibraryExW the flags.
    DWORD access = 0, share = 0, flags = 0;
};

// Routes every hooked function that `module` imports through the spy.
void Attach(HMODULE module);
// Restores the import tables patched by Attach.
void Detach();

// Forgets recorded calls and planned faults.
void Clear();
std::vector<Call> Calls();
// Recorded calls of one function, in order.
std::vector<Call> CallsTo(const char* function);
int CountOf(const char* function);
// What calls through the spy acquired and have not released: registry keys,
// files and devices, find handles, heap blocks, device sets and file-system
// redirection turned off.
struct Resource {
    std::string kind;
    const void* handle;
};
std::vector<Resource> Held();
// The kinds of what is held, e.g. "key heap"; empty when nothing is.
std::string DescribeHeld();

// As the error of a planned fault: the call raises a real access violation.
constexpr DWORD kAccessViolation = 0xC0000005;

// Makes calls of `function` fail with `error`: `skip` matching calls pass
// first, then `times` calls fail (-1: every one). When `detail` is given only
// calls naming it (ASCII case ignored) count. A CopyFileW failing with
// ERROR_DISK_FULL first writes part of the source, as a copy stopped midway.
void Fail(const char* function, DWORD error, const wchar_t* detail = nullptr, int skip = 0,
          int times = 1);

// Ends the process with TerminateProcess(GetCurrentProcess(), kKilledExitCode)
// right before the n-th hooked call from now (1: the next one), as a setup
// program killed at that moment ends. That call's function and detail are
// first written to the file `record` as one line of UTF-16, "function\tdetail",
// for the process that started this one. Until the next Clear.
constexpr UINT kKilledExitCode = 0x4B1;
void KillBefore(int n, const wchar_t* record);

// GetKeyboardLayoutNameW reports `name` (until the next Clear).
void SetKeyboardLayoutName(const wchar_t* name);

// Attaches for one scope and clears the record and faults on both ends.
class Scope {
public:
    explicit Scope(HMODULE module) { Clear(); Attach(module); }
    ~Scope() { Detach(); Clear(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

}  // namespace spy
