// vtpi: try VtPostInstall.dll by hand.
//
//   vtpi install DIR     calls VT_installer(1, DIR, 0)
//   vtpi uninstall DIR   calls VT_installer(0, DIR, 0)
//   vtpi report          prints what the DLL can change on this machine
//
// The DLL is loaded from vtpi's own folder. The exit code is 0 when the export
// returned 0, 1 when it returned -1, and 2 when it could not be called.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "VtPostInstall.h"
#include "machine_report.h"

namespace {

int Usage() {
    fwprintf(stderr, L"usage: vtpi install|uninstall DIR\n       vtpi report\n");
    return 2;
}

// VtPostInstall.dll beside this program, so that no other copy is picked up.
HMODULE LoadBesideProgram() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    wchar_t* slash = wcsrchr(path, L'\\');
    const wchar_t* name = L"VtPostInstall.dll";
    if (!slash || (slash + 1 - path) + wcslen(name) >= MAX_PATH) return nullptr;
    wcscpy(slash + 1, name);
    return LoadLibraryW(path);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && wcscmp(argv[1], L"report") == 0) {
        PrintReport(ReadMachineReport());
        return 0;
    }
    if (argc != 3) return Usage();
    int install;
    if (wcscmp(argv[1], L"install") == 0) {
        install = 1;
    } else if (wcscmp(argv[1], L"uninstall") == 0) {
        install = 0;
    } else {
        return Usage();
    }

    HMODULE dll = LoadBesideProgram();
    if (!dll) {
        fwprintf(stderr, L"vtpi: cannot load VtPostInstall.dll beside vtpi.exe (error %lu)\n", GetLastError());
        return 2;
    }
    auto run = reinterpret_cast<VT_installer_fn>(reinterpret_cast<void*>(GetProcAddress(dll, "VT_installer")));
    if (!run) {
        fwprintf(stderr, L"vtpi: VtPostInstall.dll does not export VT_installer\n");
        FreeLibrary(dll);
        return 2;
    }

    const MachineReport before = ReadMachineReport();
    const int result = run(install, argv[2], 0);
    wprintf(L"VT_installer(%d, \"%ls\", 0) = %d\n", install, argv[2], result);
    PrintChanges(before, ReadMachineReport());
    FreeLibrary(dll);
    return result == 0 ? 0 : 1;
}
