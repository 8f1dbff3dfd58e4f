#include "base/wow64.h"

#include <type_traits>

#include "base/system_library.h"

namespace vtpi {

namespace {

// A kernel32 function that older systems lack, or null.
template <typename Fn>
Fn Kernel32Function(const char* name) {
    return reinterpret_cast<Fn>(LoadedFunction("kernel32.dll", name));
}

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
using DisableRedirectionFn = BOOL(WINAPI*)(void**);
using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
using GetNativeSystemInfoFn = void(WINAPI*)(SYSTEM_INFO*);

}  // namespace

bool IsWow64() {
    const auto isWow64Process = Kernel32Function<IsWow64ProcessFn>("IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

WORD NativeMachine() {
    if (!IsWow64()) return IMAGE_FILE_MACHINE_I386;
    // Under emulation on another processor GetNativeSystemInfo names the
    // emulated one; IsWow64Process2, where it exists, names the real one.
    USHORT process = 0, native = 0;
    const auto isWow64Process2 = Kernel32Function<IsWow64Process2Fn>("IsWow64Process2");
    if (isWow64Process2) {
        isWow64Process2(GetCurrentProcess(), &process, &native);
    } else if (const auto nativeInfo = Kernel32Function<GetNativeSystemInfoFn>("GetNativeSystemInfo")) {
        SYSTEM_INFO info = {};
        nativeInfo(&info);
        if (info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) native = IMAGE_FILE_MACHINE_AMD64;
    }
    return native == IMAGE_FILE_MACHINE_AMD64 ? native : 0;
}

NativeFileSystem::NativeFileSystem() : wow64_(IsWow64()) {
    static_assert(std::is_standard_layout<NativeFileSystem>::value, "the handler finds the object at its record");
    if (!wow64_) return;
    const auto disable = Kernel32Function<DisableRedirectionFn>("Wow64DisableWow64FsRedirection");
    revert_ = Kernel32Function<RevertRedirectionFn>("Wow64RevertWow64FsRedirection");
    if (!disable || !revert_) return;
    // On the handler chain before redirection goes off, so that an exception
    // unwinding past this scope at any moment finds the record.
    record_.next = HandlerChain();
    record_.handler = reinterpret_cast<void*>(&OnException);
    SetHandlerChain(&record_);
    disabled_ = disable(&previous_) != FALSE;
    if (!disabled_) SetHandlerChain(record_.next);
}

NativeFileSystem::~NativeFileSystem() {
    if (!disabled_) return;
    Restore();
    SetHandlerChain(record_.next);
}

void NativeFileSystem::Restore() {
    disabled_ = false;
    revert_(previous_);
}

// Called for the search and, when an outer handler unwinds past this scope,
// for the unwind; the system removes the record itself afterwards.
EXCEPTION_DISPOSITION __cdecl NativeFileSystem::OnException(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
    auto* self = reinterpret_cast<NativeFileSystem*>(frame);
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) && self->disabled_) self->Restore();
    return ExceptionContinueSearch;
}

}  // namespace vtpi
