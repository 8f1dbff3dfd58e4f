// A 32-bit process on 64-bit Windows runs under WoW64: its file access to the
// system directory is redirected to SysWOW64 and its view of
// HKLM\SOFTWARE is Wow6432Node. What the library configures belongs to the
// native machine, so these helpers reach past both. The functions involved
// are absent from 98, NT 4.0 and 2000 and are looked up at run time.
#pragma once

#include <windows.h>

#include "base/seh.h"

namespace vtpi {

// True when the process runs under WoW64, asked afresh at each use. Without
// IsWow64Process, or when the query fails, the process counts as native.
bool IsWow64();

// The machine type (IMAGE_FILE_MACHINE_*) of the processor Windows runs on,
// when it is one whose drivers are installed here: i386 outside WoW64,
// x86-64 under it. 0 on any other processor.
WORD NativeMachine();

// Turns the thread's file-system redirection off for the object's lifetime
// when the process runs under WoW64, so that the system directory is the
// native one; does nothing otherwise. Redirection is restored when the object
// goes out of scope, and also when a structured exception unwinds past it.
// No library may be loaded while it is in scope.
class NativeFileSystem {
public:
    NativeFileSystem();
    ~NativeFileSystem();
    NativeFileSystem(const NativeFileSystem&) = delete;
    NativeFileSystem& operator=(const NativeFileSystem&) = delete;

    // False when the process runs under WoW64 and redirection could not be
    // turned off: the system directory would then not be the native one.
    bool ok() const { return !wow64_ || disabled_; }

private:
    static EXCEPTION_DISPOSITION __cdecl OnException(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*);
    void Restore();

    HandlerRecord record_;  // first, so that the handler finds the object
    bool wow64_ = false;
    bool disabled_ = false;
    void* previous_ = nullptr;
    using RevertRedirectionFn = BOOL(WINAPI*)(void*);
    RevertRedirectionFn revert_ = nullptr;
};

}  // namespace vtpi
