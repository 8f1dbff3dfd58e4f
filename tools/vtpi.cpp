// vtpi: try VtPostInstall.dll by hand.
//
//   vtpi install DIR          calls VT_installer(1, DIR, 0)
//   vtpi uninstall DIR        calls VT_installer(0, DIR, 0)
//   vtpi --ansi install DIR   calls IDLL_helper(DIR, 1, 0) (and so for uninstall)
//   vtpi report [DIR]         prints what the DLL can change on this machine
//                             (also --report [DIR])
//
// The DLL is loaded from vtpi's own folder. The exit code is 0 when the export
// returned 0, 1 when it returned -1, and 2 when it could not be called.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "VtPostInstall.h"
#include "machine_report.h"

namespace {

int Usage() {
    fwprintf(stderr, L"usage: vtpi [--ansi] install|uninstall DIR\n       vtpi --report [DIR]\n");
    return 2;
}

// The directory as the setup program's 8-bit string: each unit below 256
// becomes one byte, as IDLL_helper takes it back.
bool Narrow(const wchar_t* wide, std::string& narrow) {
    for (; *wide; ++wide) {
        if (*wide > 0xFF) return false;
        narrow += static_cast<char>(*wide);
    }
    return true;
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
    if ((argc == 2 || argc == 3) && (wcscmp(argv[1], L"report") == 0 || wcscmp(argv[1], L"--report") == 0)) {
        PrintReport(ReadMachineReport(argc == 3 ? argv[2] : nullptr));
        return 0;
    }
    const bool ansi = argc > 1 && wcscmp(argv[1], L"--ansi") == 0;
    if (ansi) {
        --argc;
        ++argv;
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
    std::string narrow;
    if (ansi && !Narrow(argv[2], narrow)) {
        fwprintf(stderr, L"vtpi: DIR has characters that an 8-bit string cannot hold\n");
        return 2;
    }

    HMODULE dll = LoadBesideProgram();
    if (!dll) {
        fwprintf(stderr, L"vtpi: cannot load VtPostInstall.dll beside vtpi.exe (error %lu)\n", GetLastError());
        return 2;
    }
    const char* exportName = ansi ? "IDLL_helper" : "VT_installer";
    void* entry = reinterpret_cast<void*>(GetProcAddress(dll, exportName));
    if (!entry) {
        fwprintf(stderr, L"vtpi: VtPostInstall.dll does not export %hs\n", exportName);
        FreeLibrary(dll);
        return 2;
    }

    const MachineReport before = ReadMachineReport(argv[2]);
    int result;
    if (ansi) {
        result = reinterpret_cast<IDLL_helper_fn>(entry)(narrow.c_str(), install, 0);
        wprintf(L"IDLL_helper(\"%ls\", %d, 0) = %d\n", argv[2], install, result);
    } else {
        result = reinterpret_cast<VT_installer_fn>(entry)(install, argv[2], 0);
        wprintf(L"VT_installer(%d, \"%ls\", 0) = %d\n", install, argv[2], result);
    }
    PrintChanges(before, ReadMachineReport(argv[2]));
    FreeLibrary(dll);
    return result == 0 ? 0 : 1;
}
