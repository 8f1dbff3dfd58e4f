#include <windows.h>

#include "base/diagnostics.h"

// The only per-process state is the thread-local slot of the diagnostics.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    // At process exit (reserved set) the slot goes with the process.
    if (reason == DLL_PROCESS_DETACH && !reserved) vtpi::ReleaseDiagnosticsSlot();
    return TRUE;
}
