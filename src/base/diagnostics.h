// Why a call did what it did: the Win32 error of the step that failed, and a
// trace line for every step. Each export opens a CallDiagnostics for its
// call; the functions below act on the calling thread's open one and do
// nothing when there is none (as when a test calls an operation directly).
//
// The trace goes out through OutputDebugStringA, and is appended as UTF-8 to
// the file that the environment variable VTPI_LOG names, opened once per call
// and shared for reading. Neither output can change the call's result or its
// last error.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

class CallDiagnostics {
public:
    CallDiagnostics();
    ~CallDiagnostics();
    CallDiagnostics(const CallDiagnostics&) = delete;
    CallDiagnostics& operator=(const CallDiagnostics&) = delete;

    // The error noted for the step that failed last; ERROR_GEN_FAILURE when a
    // failure noted none.
    DWORD error() const;

    // Used by the functions below.
    void Add(const wchar_t* line);
    DWORD noted = ERROR_SUCCESS;

private:
    void Flush();

    bool owner_ = false;  // false inside another export's call: that one collects
    HANDLE log_ = INVALID_HANDLE_VALUE;
    bool logWanted_ = false;
    wchar_t logPath_[MAX_PATH];
    char pending_[4000];  // UTF-8 lines not yet written out (one debug-output message at most)
    int used_ = 0;
};

// Notes `error` as the reason the current step fails; returns false, for
// `return NoteError(rc);`.
bool NoteError(DWORD error);
// Notes the thread's last error; returns false.
bool NoteLastError();
// Forgets the noted error: a step starts.
void ClearNotedError();
// The error noted last in this call; ERROR_SUCCESS when none.
DWORD NotedError();

// Appends one trace line, formatted as wsprintfW formats (%s is a UTF-16
// string), at most 1,000 units.
void Trace(const wchar_t* format, ...);
// "label: a, b, c" for a multi-string list, "label: (empty)" for the empty list.
void TraceList(const wchar_t* label, const wchar_t* list, int32_t capacity);
// "step: done", or "step: failed, error N" with the noted error; returns `ok`.
bool TraceStep(const wchar_t* step, bool ok);

// Frees the thread-local slot, when the DLL leaves the process.
void ReleaseDiagnosticsSlot();

}  // namespace vtpi
