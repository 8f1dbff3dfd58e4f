// Runs work that must never end the host process.
#pragma once

namespace vtpi {

// Runs work(context) under an exception-registration record of its own on
// the thread's handler chain. A structured exception raised inside it (an
// access violation, say) is caught and discarded, and the result is false;
// true when the work ran to its end.
//
// What the catch does, exactly: RtlUnwind calls the handlers of the SEH
// records between the fault and the guard, so a scope that keeps one (the
// redirection scope in wow64.h) puts its state back; then execution resumes
// here with the handler chain as it was before the call. What it does not
// do: run C++ destructors. An owner (owner.h) in a frame between the fault
// and the guard is not released: its key, handle or heap block stays held
// until the process ends. Work run here should therefore hold little, and
// nothing whose being held would harm the machine (no lock, no open device).
//
// Nothing in the library raises C++ exceptions; it is built without them.
bool RunGuarded(void (*work)(const void*), const void* context);

}  // namespace vtpi
