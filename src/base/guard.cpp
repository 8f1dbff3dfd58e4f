#include "base/guard.h"

#include <windows.h>

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

// Handles every exception: RtlUnwind first calls the handlers of the records
// between the fault and the guard (no C++ destructors run), then execution
// resumes in RunGuarded.
EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    // Leaves the guard's record at the head of the chain.
    RtlUnwind(frame, nullptr, record, nullptr);
    __builtin_longjmp(static_cast<GuardFrame*>(frame)->resume, 1);
}

}  // namespace

bool RunGuarded(void (*work)(const void*), const void* context) {
    GuardFrame frame;
    frame.record.next = HandlerChain();
    frame.record.handler = reinterpret_cast<void*>(&GuardHandler);
    if (__builtin_setjmp(frame.resume) != 0) {
        SetHandlerChain(frame.record.next);
        return false;
    }
    SetHandlerChain(&frame.record);
    work(context);
    SetHandlerChain(frame.record.next);
    return true;
}

}  // namespace vtpi
