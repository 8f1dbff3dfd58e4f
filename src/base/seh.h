// The thread's chain of structured-exception handler records (fs:[0]) on
// 32-bit x86, for code that must act on exceptions without compiler support
// for __try.
#pragma once

#include <windows.h>

namespace vtpi {

// The layout of EXCEPTION_REGISTRATION_RECORD.
struct HandlerRecord {
    HandlerRecord* next;
    void* handler;
};

inline HandlerRecord* HandlerChain() {
    HandlerRecord* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

inline void SetHandlerChain(HandlerRecord* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

}  // namespace vtpi
