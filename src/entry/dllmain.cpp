#include <windows.h>

#include "base/trace.h"

// The only per-process state is the thread-local slot of the trace.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    // At process exit (reserved set) the slot goes with the process.
    if (reason == DLL_PROCESS_DETACH && !reserved) vtpi::ReleaseTraceSlot();
    return TRUE;
}
