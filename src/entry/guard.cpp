#include "entry/guard.h"

#include <windows.h>

#include <stdlib.h>

#include "base/seh.h"

namespace vtpi {

namespace {

// An exception registration record of the guard's own on the thread's
// handler chain (fs:[0]), with the place to resume when an exception reaches
// it. The compiler offers no __try on this target.
struct GuardFrame {
    HandlerRecord record;
    void* resume[5];  // __builtin_setjmp buffer
};

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    // Back into RunGuarded's frame; everything the work had on the stack is dropped.
    __builtin_longjmp(static_cast<GuardFrame*>(frame)->resume, 1);
}

// C++ exceptions do not pass through the handler chain: catch them here.
bool RunCatchingCxx(void (*work)(const wchar_t*), const wchar_t* arg) {
    try {
        work(arg);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

bool RunGuarded(void (*work)(const wchar_t*), const wchar_t* arg) {
    GuardFrame frame;
    frame.record.next = HandlerChain();
    frame.record.handler = reinterpret_cast<void*>(&GuardHandler);
    if (__builtin_setjmp(frame.resume) != 0) {
        // Reached from the handler: the records above ours belonged to the
        // abandoned frames.
        SetHandlerChain(frame.record.next);
        return false;
    }
    SetHandlerChain(&frame.record);
    const bool finished = RunCatchingCxx(work, arg);
    SetHandlerChain(frame.record.next);
    return finished;
}

}  // namespace vtpi

// The runtime's default terminate handler prints a demangled type name, which
// would link the whole demangler into the DLL; nothing here needs it.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}  // namespace __gnu_cxx
