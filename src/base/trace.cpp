#include "base/trace.h"

#ifndef VTPI_NO_TRACE

#include <stdarg.h>

#include "base/text.h"

namespace vtpi {

namespace {

// The thread-local slot that points at the thread's open CallTrace, plus
// one, so that the zero it starts as (and the DLL has no initialised data)
// means not allocated yet; allocated at first use, once per process.
volatile LONG g_slotPlusOne = 0;

DWORD Slot() {
    if (g_slotPlusOne == 0) {
        const DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES) return slot;
        if (InterlockedCompareExchange(&g_slotPlusOne, static_cast<LONG>(slot + 1), 0) != 0) {
            TlsFree(slot);  // another thread was first
        }
    }
    return static_cast<DWORD>(g_slotPlusOne - 1);
}

// Keeps the thread's last error across the trace, which must not change it.
class LastErrorKept {
public:
    LastErrorKept() : error_(GetLastError()) {}
    ~LastErrorKept() { SetLastError(error_); }

private:
    DWORD error_;
};

CallTrace* Current() {
    const DWORD slot = Slot();
    return slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<CallTrace*>(TlsGetValue(slot));
}

constexpr int kLineUnits = 1024;

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

// Why a trace file path is not used as one, by its form alone: a device,
// pipe or namespace path ("\\.\", "\\?\", "\??\", either slash). Each unit
// is read only when the one before it is not the terminator.
const char* RefusedLogPath(const wchar_t* path) {
    const bool special = IsSlash(path[0]) &&
                         ((IsSlash(path[1]) && (path[2] == L'.' || path[2] == L'?')) ||
                          (path[1] == L'?' && path[2] == L'?')) &&
                         IsSlash(path[3]);
    return special ? "a device, pipe or namespace path" : nullptr;
}

// Why an opened trace file is not used: it must be a regular file on a disk
// with one name, not a link.
const char* RefusedLogFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return "not a file on a disk";
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return "a link";
    return info.nNumberOfLinks == 1 ? nullptr : "a file with more than one name";
}

}  // namespace

CallTrace::CallTrace(TraceSink sink, const void* context) : sink_(sink), sinkContext_(context) {
    LastErrorKept kept;
    const DWORD slot = Slot();
    if (slot == TLS_OUT_OF_INDEXES || TlsGetValue(slot)) return;  // collected by the outer call
    owner_ = TlsSetValue(slot, this) != FALSE;
    const DWORD length = GetEnvironmentVariableW(L"VTPI_LOG", logPath_, MAX_PATH);
    if (owner_ && length > 0 && length < MAX_PATH) OpenLog();
}

// Opened as the call starts, before file-system redirection is ever turned
// off; never through a link at its end, and never letting a pipe's server
// act as the caller.
void CallTrace::OpenLog() {
    const char* refused = RefusedLogPath(logPath_);
    if (!refused) {
        log_ = CreateFileW(logPath_, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                               SECURITY_IDENTIFICATION,
                           nullptr);
        refused = log_ == INVALID_HANDLE_VALUE ? "not opened" : RefusedLogFile(log_);
    }
    if (!refused) return;
    if (log_ != INVALID_HANDLE_VALUE) CloseHandle(log_);
    log_ = INVALID_HANDLE_VALUE;
    Trace("VTPI_LOG %s not used: %hs", logPath_, refused);
}

CallTrace::~CallTrace() {
    if (!owner_) return;
    LastErrorKept kept;
    if (used_ > 0) Flush();
    if (log_ != INVALID_HANDLE_VALUE) CloseHandle(log_);
    TlsSetValue(Slot(), nullptr);
}

void CallTrace::Add(const wchar_t* text) {
    if (sink_) sink_(sinkContext_, text);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t line[kLineUnits + 64];
    const int prefix = wsprintfW(line, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] VtPostInstall: ", now.wYear,
                                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                                 GetCurrentProcessId());
    if (prefix <= 0 || !AppendString(line, kLineUnits + 64, text) || !AppendString(line, kLineUnits + 64, L"\r\n")) {
        return;
    }
    char utf8[(kLineUnits + 64) * 3];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), nullptr, nullptr) - 1;
    if (bytes <= 0 || bytes >= static_cast<int>(sizeof(pending_))) return;
    if (used_ + bytes >= static_cast<int>(sizeof(pending_))) Flush();
    for (int i = 0; i < bytes; ++i) pending_[used_ + i] = utf8[i];
    used_ += bytes;
}

// One debug-output message, and the same bytes appended to the log file.
void CallTrace::Flush() {
    pending_[used_] = 0;
    OutputDebugStringA(pending_);
    if (log_ != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log_, pending_, static_cast<DWORD>(used_), &written, nullptr);
    }
    used_ = 0;
}

void Trace(const char* format, ...) {
    LastErrorKept kept;
    CallTrace* call = Current();
    if (!call) return;
    wchar_t wideFormat[256];
    int i = 0;
    for (; format[i] != 0 && i < 255; ++i) wideFormat[i] = static_cast<unsigned char>(format[i]);
    wideFormat[i] = 0;
    wchar_t line[kLineUnits + 1];
    va_list args;
    va_start(args, format);
    wvsprintfW(line, wideFormat, args);
    va_end(args);
    line[kLineUnits] = 0;
    call->Add(line);
}

void TraceList(const wchar_t* label, const wchar_t* list, int32_t capacity) {
    LastErrorKept kept;
    CallTrace* call = Current();
    if (!call) return;
    wchar_t line[kLineUnits];
    CopyString(line, kLineUnits, label);
    AppendString(line, kLineUnits, L":");
    bool empty = true;
    for (int32_t pos = 0; pos < capacity && list[pos] != 0;) {
        const int32_t entry = BoundedLength(list + pos, capacity - pos);
        if (entry < 0) break;
        // A long list goes on as many lines as it needs.
        if (BoundedLength(line, kLineUnits) + entry + 2 >= kLineUnits - 8) {
            AppendString(line, kLineUnits, L" ...");
            call->Add(line);
            CopyString(line, kLineUnits, label);
            AppendString(line, kLineUnits, L" (more):");
        }
        AppendString(line, kLineUnits, empty ? L" " : L", ");
        if (entry < kLineUnits - 64) AppendString(line, kLineUnits, list + pos);
        empty = false;
        pos += entry + 1;
    }
    if (empty) AppendString(line, kLineUnits, L" (empty)");
    call->Add(line);
}

DWORD TraceStep(const char* step, DWORD error) {
    if (error == ERROR_SUCCESS) {
        Trace("%hs: done", step);
    } else {
        Trace("%hs: failed, error %lu", step, error);
    }
    return error;
}

void ReleaseTraceSlot() {
    if (g_slotPlusOne != 0) TlsFree(static_cast<DWORD>(g_slotPlusOne - 1));
}

}  // namespace vtpi

#endif
