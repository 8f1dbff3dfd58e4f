// A trace line for every step of a call. Each export opens a CallTrace for
// its call: the thread's sink, which an export called from another export's
// call joins rather than opening its own. The functions below write to the
// thread's open sink and do nothing when there is none (as when a test calls
// an operation directly).
//
// The trace goes out through OutputDebugStringA, goes line by line to the
// call's own sink, if any (a Windows Installer log), and is appended as UTF-8
// to the file that the environment variable VTPI_LOG names, opened once the
// call's folder is checked and shared for reading. The file is used only
// when it is a regular file on a local disk with one name, reached by the
// full path asked for through no link, junction or other name on its way;
// where the system cannot tell (before Vista), only a file inside the install
// folder is used. A device, pipe, namespace or network path is not even
// opened, and a file made for the trace and then refused is deleted again.
// Otherwise a trace line says why, and there is no file. Nothing here
// changes the thread's last error, and a trace that cannot be written
// changes nothing else either.
//
// Built with VTPI_NO_TRACE (the benchmark's reference DLL), every function
// here is an empty inline one.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace vtpi {

// Receives each trace line of a call, without time or process id.
using TraceSink = void (*)(const void* context, const wchar_t* line);

#ifndef VTPI_NO_TRACE

class CallTrace {
public:
    CallTrace() : CallTrace(nullptr, nullptr) {}
    CallTrace(TraceSink sink, const void* context);
    ~CallTrace();
    CallTrace(const CallTrace&) = delete;
    CallTrace& operator=(const CallTrace&) = delete;

    // Opens the trace file, if VTPI_LOG names one; `folder` is the call's
    // checked install folder, null when it was refused.
    void OpenFile(const wchar_t* folder);
    // Used by the functions below.
    void Add(const wchar_t* line);

private:
    int ToPending(const wchar_t* line);
    void Flush();

    TraceSink sink_ = nullptr;
    const void* sinkContext_ = nullptr;
    bool owner_ = false;  // false inside another export's call: that one collects
    HANDLE log_ = INVALID_HANDLE_VALUE;
    char pending_[2048];  // UTF-8 lines not yet written out (one debug-output message at most)
    int used_ = 0;
};

// Appends one trace line, at most 1,000 units. The format is ASCII (kept
// narrow, as most of the DLL's text is trace formats) and is formatted as
// wsprintfW formats: %s is a UTF-16 string, %hs an 8-bit one.
void Trace(const char* format, ...);
// "label: a, b, c" for a multi-string list, "label: (empty)" for the empty list.
void TraceList(const wchar_t* label, const wchar_t* list, int32_t capacity);
// "step: done", or "step: failed, error N"; returns `error`.
DWORD TraceStep(const char* step, DWORD error);

// Frees the thread-local slot, when the DLL leaves the process.
void ReleaseTraceSlot();

#else

class CallTrace {
public:
    CallTrace() {}
    CallTrace(TraceSink, const void*) {}
    ~CallTrace() {}
    void OpenFile(const wchar_t*) {}
};
inline void Trace(const char*, ...) {}
inline void TraceList(const wchar_t*, const wchar_t*, int32_t) {}
inline DWORD TraceStep(const char*, DWORD error) { return error; }
inline void ReleaseTraceSlot() {}

#endif

}  // namespace vtpi
