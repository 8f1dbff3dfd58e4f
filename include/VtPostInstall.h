/*
 * VtPostInstall.dll: machine-level configuration of the Veltrane client,
 * called by a setup program after it has copied the client's files and again
 * when the client is removed.
 *
 * Exports (cdecl, undecorated names):
 *   ordinal 2  VT_installer(install, installDir, reserved)
 *
 * Both return 0 on success and -1 on failure; no other value occurs.
 */
#ifndef VTPOSTINSTALL_H
#define VTPOSTINSTALL_H

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The longest install directory accepted, in characters without the
 * terminator. Every path the library builds from it fits MAX_PATH (260). A
 * NULL or longer directory makes an export return -1 at once, changing
 * nothing.
 */
#define VTPI_MAX_INSTALL_DIR 237

/*
 * install:    non-zero installs, zero uninstalls.
 * installDir: the directory holding the client's copied files, UTF-16.
 * reserved:   ignored.
 */
int __cdecl VT_installer(int install, const wchar_t* installDir, int reserved);

typedef int(__cdecl* VT_installer_fn)(int install, const wchar_t* installDir, int reserved);

/*
 * Calling through LoadLibrary:
 *
 *   HMODULE dll = LoadLibraryW(L"VtPostInstall.dll");
 *   VT_installer_fn run = (VT_installer_fn)GetProcAddress(dll, "VT_installer");
 *   int result = run ? run(1, L"C:\\Program Files\\Veltrane", 0) : -1;
 *   FreeLibrary(dll);
 */

#ifdef __cplusplus
}
#endif

#endif /* VTPOSTINSTALL_H */
