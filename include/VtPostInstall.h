/*
 * VtPostInstall.dll: machine-level configuration of the Veltrane client,
 * called by a setup program after it has copied the client's files and again
 * when the client is removed.
 *
 * Exports (cdecl, undecorated names):
 *   ordinal 1  IDLL_helper(installDir, install, reserved)   ANSI directory
 *   ordinal 2  VT_installer(install, installDir, reserved)  UTF-16 directory
 * and, for Windows Installer packages only, four custom actions
 * (UINT __stdcall Action(MSIHANDLE), undecorated names, the install folder
 * in CustomActionData): VtMsiInstall (3), VtMsiUninstall (4),
 * VtMsiRollback (5) and VtMsiCheckClient (6).
 *
 * Both return 0 on success and -1 on failure; no other value occurs. Both
 * set the thread's last error before they return: ERROR_SUCCESS with 0, and
 * with -1 the Win32 error of the step that failed: ERROR_INVALID_PARAMETER
 * for a directory that cannot be used, ERROR_PATH_NOT_FOUND for an install
 * into a directory that is not an existing folder, ERROR_TIMEOUT when another
 * call held the call lock for 10 minutes (each before anything changes).
 * Each call also writes a trace through OutputDebugStringA, and to the file
 * the environment variable VTPI_LOG names, if any and only when it is a
 * regular file on a local disk with one name, reached by the full path given
 * through no link on any of its folders (before Vista: inside the install
 * directory); a device, pipe, namespace or network path is never opened.
 *
 * One call runs at a time on a machine: a call with a usable directory holds
 * the mutex "Global\VtPostInstall" ("VtPostInstall" before Windows 2000)
 * until it returns; a second call waits (at most 10 minutes from Windows
 * 2000 on), and an abandoned one is taken over. The mutex is open to SYSTEM
 * and Administrators alone; one that another account made is not waited for.
 */
#ifndef VTPOSTINSTALL_H
#define VTPOSTINSTALL_H

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The longest install directory accepted, in characters (for IDLL_helper,
 * bytes) without the terminator. Every path the library builds from it fits
 * MAX_PATH (260). The directory must be absolute: a drive letter and a
 * backslash ("C:\..."), or a UNC path ("\\server\share..."). A NULL,
 * longer, empty or relative directory (such as "folder" or "C:folder"), one
 * holding a character no folder name can hold (", <, >, |, *, ?, a control
 * character, a ':' past the drive), one in the device or verbatim namespace
 * ("\\.\...", "\\?\...") or a pipe on any host ("\\host\pipe\..."), either
 * slash a separator, makes an export return -1 at once with
 * ERROR_INVALID_PARAMETER, changing nothing. An install also needs it to be
 * an existing folder (ERROR_PATH_NOT_FOUND otherwise); an uninstall runs
 * without it.
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
 * The same for a setup program that holds the directory as an 8-bit string.
 * Each byte becomes the UTF-16 unit of the same value (no code page is
 * applied, so only ASCII paths arrive unchanged; an install into a folder
 * whose name the widening changes is refused with ERROR_PATH_NOT_FOUND). Before the sequence, and in
 * both directions, the tray application is recorded in the shared-files list
 * and the install directory's application file list; nothing that goes wrong
 * there, an exception included, changes the result, which is VT_installer's.
 */
int __cdecl IDLL_helper(const char* installDir, int install, int reserved);

typedef int(__cdecl* IDLL_helper_fn)(const char* installDir, int install, int reserved);

/*
 * Link with the import library libVtPostInstall.dll.a, or call through
 * LoadLibrary:
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
