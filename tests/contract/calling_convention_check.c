/* Checks that both exports leave their arguments on the stack for the caller
 * to remove (cdecl), as the header declares. Setup programs rely on it: NSIS's
 * System::Call with ?c, and any C caller, remove the arguments themselves, so
 * an export that removed them too (stdcall) would unbalance their stack.
 *
 *   calling_convention_check [DLL]   (default: VtPostInstall.dll beside it)
 *
 * Each export is called with a NULL directory and direction 0, which it
 * refuses at once without touching the machine. The stack pointer is read
 * right before the three arguments are pushed and right after the call. The
 * last line names the convention found; the exit code is 0 for cdecl. */
#include <windows.h>

#include <stdio.h>

/* How many of the 12 argument bytes the export left on the stack. */
static unsigned ArgumentBytesLeft(FARPROC entry, int* result) {
    unsigned before, after;
    int value;
    /* before and after live in registers the callee must preserve: the
     * early-clobber outputs keep them off eax, ecx and edx. */
    __asm__ volatile(
        "movl %%esp, %0\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "pushl $0\n\t"
        "call *%3\n\t"
        "movl %%esp, %1\n\t"
        "movl %0, %%esp\n\t"
        : "=&r"(before), "=&r"(after), "=a"(value)
        : "r"(entry)
        : "ecx", "edx", "memory", "cc");
    *result = value;
    return before - after;
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "VtPostInstall.dll";
    HMODULE dll = LoadLibraryA(name);
    if (!dll) {
        printf("%s does not load (error %lu)\n", name, GetLastError());
        return 2;
    }
    static const char* const exports[] = {"VT_installer", "IDLL_helper"};
    int callerRemoves = 0, calleeRemoves = 0;
    for (int i = 0; i < 2; ++i) {
        FARPROC entry = GetProcAddress(dll, exports[i]);
        if (!entry) {
            printf("%s: not exported\n", exports[i]);
            continue;
        }
        int result;
        const unsigned left = ArgumentBytesLeft(entry, &result);
        printf("%s with a NULL directory: returned %d, left %u of 12 argument bytes\n", exports[i], result, left);
        if (result != -1) continue;
        if (left == 12) ++callerRemoves;
        if (left == 0) ++calleeRemoves;
    }
    FreeLibrary(dll);
    const char* verdict = callerRemoves == 2 ? "cdecl" : calleeRemoves == 2 ? "stdcall" : "mixed or unknown";
    printf("calling convention: %s\n", verdict);
    return callerRemoves == 2 ? 0 : 1;
}
