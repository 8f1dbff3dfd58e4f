#include "base/diagnostics.h"

#include <stdarg.h>

#include "base/text.h"

namespace vtpi {

namespace {

// The thread-local slot that points at the thread's open CallDiagnostics;
// allocated at first use, once per process.
volatile LONG g_slot = static_cast<LONG>(TLS_OUT_OF_INDEXES);

DWORD Slot() {
    if (g_slot == static_cast<LONG>(TLS_OUT_OF_INDEXES)) {
        const DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES) return slot;
        if (InterlockedCompareExchange(&g_slot, static_cast<LONG>(slot), static_cast<LONG>(TLS_OUT_OF_INDEXES)) !=
            static_cast<LONG>(TLS_OUT_OF_INDEXES)) {
            TlsFree(slot);  // another thread was first
        }
    }
    return static_cast<DWORD>(g_slot);
}

// Keeps the thread's last error across diagnostics, which must not change it.
class LastErrorKept {
public:
    LastErrorKept() : error_(GetLastError()) {}
    ~LastErrorKept() { SetLastError(error_); }

private:
    DWORD error_;
};

CallDiagnostics* Current() {
    const DWORD slot = Slot();
    return slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<CallDiagnostics*>(TlsGetValue(slot));
}

constexpr int kLineUnits = 1024;

}  // namespace

CallDiagnostics::CallDiagnostics() {
    LastErrorKept kept;
    const DWORD slot = Slot();
    if (slot == TLS_OUT_OF_INDEXES || TlsGetValue(slot)) return;  // collected by the outer call
    owner_ = TlsSetValue(slot, this) != FALSE;
    const DWORD length = GetEnvironmentVariableW(L"VTPI_LOG", logPath_, MAX_PATH);
    logWanted_ = owner_ && length > 0 && length < MAX_PATH;
}

CallDiagnostics::~CallDiagnostics() {
    if (!owner_) return;
    LastErrorKept kept;
    if (used_ > 0) Flush();
    if (log_ != INVALID_HANDLE_VALUE) CloseHandle(log_);
    TlsSetValue(Slot(), nullptr);
}

DWORD CallDiagnostics::error() const {
    const CallDiagnostics* call = owner_ ? this : Current();
    if (!call) return ERROR_GEN_FAILURE;
    return call->noted != ERROR_SUCCESS ? call->noted : ERROR_GEN_FAILURE;
}

void CallDiagnostics::Add(const wchar_t* text) {
#ifdef VTPI_NO_TRACE
    (void)text;
    return;
#endif
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
void CallDiagnostics::Flush() {
    pending_[used_] = 0;
    OutputDebugStringA(pending_);
    if (logWanted_ && log_ == INVALID_HANDLE_VALUE) {
        log_ = CreateFileW(logPath_, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        logWanted_ = log_ != INVALID_HANDLE_VALUE;
    }
    if (log_ != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log_, pending_, static_cast<DWORD>(used_), &written, nullptr);
    }
    used_ = 0;
}

bool NoteError(DWORD error) {
    LastErrorKept kept;
    if (CallDiagnostics* call = Current()) call->noted = error;
    return false;
}

bool NoteLastError() { return NoteError(GetLastError()); }

void ClearNotedError() { NoteError(ERROR_SUCCESS); }

DWORD NotedError() {
    LastErrorKept kept;
    const CallDiagnostics* call = Current();
    return call ? call->noted : ERROR_SUCCESS;
}

void Trace(const wchar_t* format, ...) {
#ifdef VTPI_NO_TRACE
    (void)format;
    return;
#endif
    LastErrorKept kept;
    CallDiagnostics* call = Current();
    if (!call) return;
    wchar_t line[kLineUnits + 1];
    va_list args;
    va_start(args, format);
    wvsprintfW(line, format, args);
    va_end(args);
    line[kLineUnits] = 0;
    call->Add(line);
}

void TraceList(const wchar_t* label, const wchar_t* list, int32_t capacity) {
#ifdef VTPI_NO_TRACE
    (void)label, (void)list, (void)capacity;
    return;
#endif
    LastErrorKept kept;
    CallDiagnostics* call = Current();
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

bool TraceStep(const wchar_t* step, bool ok) {
#ifdef VTPI_NO_TRACE
    (void)step;
    return ok;
#endif
    LastErrorKept kept;
    CallDiagnostics* call = Current();
    if (!call) return ok;
    if (ok) {
        Trace(L"%s: done", step);
    } else {
        Trace(L"%s: failed, error %lu", step, call->error());
    }
    return ok;
}

void ReleaseDiagnosticsSlot() {
    if (g_slot != static_cast<LONG>(TLS_OUT_OF_INDEXES)) TlsFree(static_cast<DWORD>(g_slot));
}

}  // namespace vtpi
