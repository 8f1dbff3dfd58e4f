/* The two export names built as stdcall (the callee removes its arguments),
 * each refusing a NULL directory with -1: the calling convention check must
 * tell this DLL from the real one. */
#include <wchar.h>

__declspec(dllexport) int __stdcall VT_installer(int install, const wchar_t* installDir, int reserved) {
    (void)install, (void)reserved;
    return installDir ? 0 : -1;
}

__declspec(dllexport) int __stdcall IDLL_helper(const char* installDir, int install, int reserved) {
    (void)install, (void)reserved;
    return installDir ? 0 : -1;
}
