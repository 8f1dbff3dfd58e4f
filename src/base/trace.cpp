#include "base/trace.h"

#ifndef VTPI_NO_TRACE

#include <stdarg.h>

#include "base/system_library.h"
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

// Functions of Vista and later, looked up at run time.
using GetFinalPathNameFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
using SetFileInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
constexpr int kFileDispositionInfo = 4;

// Whether `path` lies inside `folder` (in it, or below it).
bool IsInside(const wchar_t* path, const wchar_t* folder) {
    const wchar_t* rest = folder ? AfterPrefix(path, folder) : nullptr;
    if (!rest) return false;
    if (*rest == L'\\') ++rest;
    else if (rest[-1] != L'\\') return false;
    return *rest != 0;
}

// Why an opened trace file is not used: it must be a regular file on a disk
// with one name, not a link, and (where the system can say) reached by the
// full path asked for, through no link, junction or other name on its way.
const char* RefusedLogFile(HANDLE file, const wchar_t* full, GetFinalPathNameFn finalPathOf) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return "not a file on a disk";
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return "a link";
    if (info.nNumberOfLinks != 1) return "a file with more than one name";
    if (!finalPathOf) return nullptr;
    wchar_t reached[MAX_PATH];
    const DWORD length = finalPathOf(file, reached, MAX_PATH, 0);
    const wchar_t* local = length > 0 && length < MAX_PATH ? AfterPrefix(reached, L"\\\\?\\") : nullptr;
    return local && EqualsIgnoringAsciiCase(local, full) ? nullptr : "reached through a link or another name";
}

}  // namespace

CallTrace::CallTrace(TraceSink sink, const void* context) : sink_(sink), sinkContext_(context) {
    LastErrorKept kept;
    const DWORD slot = Slot();
    if (slot == TLS_OUT_OF_INDEXES || TlsGetValue(slot)) return;  // collected by the outer call
    owner_ = TlsSetValue(slot, this) != FALSE;
}

// Opened before file-system redirection is ever turned off; never through a
// link, never on another machine, and never letting a pipe's server act as
// the caller.
void CallTrace::OpenFile(const wchar_t* folder) {
    LastErrorKept kept;
    wchar_t asked[MAX_PATH], full[MAX_PATH];
    const DWORD named = GetEnvironmentVariableW(L"VTPI_LOG", asked, MAX_PATH);
    if (!owner_ || named == 0 || named >= MAX_PATH) return;
    const auto finalPathOf =
        reinterpret_cast<GetFinalPathNameFn>(LoadedFunction("kernel32.dll", "GetFinalPathNameByHandleW"));
    const DWORD length = GetFullPathNameW(asked, MAX_PATH, full, nullptr);
    const char* refused = nullptr;
    if (IsNamespaceOrPipePath(asked)) {
        refused = "a device, pipe or namespace path";
    } else if (length == 0 || length >= MAX_PATH || full[0] == L'\\') {
        refused = "a network path, or no full path";
    } else if (!finalPathOf && !IsInside(full, folder)) {
        refused = "outside the install folder, where the system cannot tell a link";
    } else {
        log_ = CreateFileW(full, FILE_APPEND_DATA | DELETE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                               SECURITY_IDENTIFICATION,
                           nullptr);
        const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
        refused = log_ == INVALID_HANDLE_VALUE ? "not opened" : RefusedLogFile(log_, full, finalPathOf);
        if (refused && created) {
            // A file made here and refused goes again, through its handle:
            // its path may lead elsewhere by now. A new file is refused only
            // where the final path can be read, and there this exists too.
            const auto setInformation =
                reinterpret_cast<SetFileInformationFn>(LoadedFunction("kernel32.dll", "SetFileInformationByHandle"));
            BOOLEAN remove = TRUE;
            if (setInformation) setInformation(log_, kFileDispositionInfo, &remove, sizeof(remove));
        }
    }
    if (!refused) return;
    if (log_ != INVALID_HANDLE_VALUE) CloseHandle(log_);
    log_ = INVALID_HANDLE_VALUE;
    Trace("VTPI_LOG %s not used: %hs", asked, refused);
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
    // Converted right behind the pending lines; a line that does not fit
    // there is converted again once they are out.
    int bytes = ToPending(line);
    if (bytes <= 0 && used_ > 0) {
        Flush();
        bytes = ToPending(line);
    }
    if (bytes > 0) used_ += bytes;
}

// The line's UTF-8 bytes, written behind the pending ones with their
// terminator: how many, without it; 0 when they do not fit.
int CallTrace::ToPending(const wchar_t* line) {
    return WideCharToMultiByte(CP_UTF8, 0, line, -1, pending_ + used_, sizeof(pending_) - used_, nullptr, nullptr) -
           1;
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
