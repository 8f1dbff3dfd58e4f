// vtpi: try VtPostInstall.dll by hand.
//
//   vtpi install DIR          calls VT_installer(1, DIR, 0)
//   vtpi uninstall DIR        calls VT_installer(0, DIR, 0)
//   vtpi --ansi install DIR   calls IDLL_helper(DIR, 1, 0) (and so for uninstall)
//   vtpi --trace ...          also prints the DLL's trace of the call
//   vtpi report [DIR]         prints what the DLL can change on this machine
//                             (also --report [DIR])
//
// Output to a file or a pipe is UTF-8, so that folders that are not ASCII
// arrive whole; a console gets the console's own characters.
// After the call vtpi prints the thread's last error with the system's message.
// The DLL is loaded from vtpi's own folder. The exit code is 0 when the export
// returned 0, 1 when it returned -1, and 2 when it could not be called.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

#include <string>

#include "VtPostInstall.h"
#include "machine_report.h"

namespace {

int Usage() {
    fwprintf(stderr, L"usage: vtpi [--trace] [--ansi] install|uninstall DIR\n       vtpi --report [DIR]\n");
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

// "5 (Access is denied.)": the error and the system's message for it.
void PrintLastError(DWORD error) {
    wchar_t message[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, message, 512,
                   nullptr);
    for (size_t n = wcslen(message); n > 0 && (message[n - 1] == L'\r' || message[n - 1] == L'\n'); --n) {
        message[n - 1] = 0;
    }
    wprintf(L"last error %lu (%ls)\n", error, message[0] ? message : L"no message");
}

// Routes the DLL's trace into a fresh temporary file, for --trace.
std::wstring StartTrace() {
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"vtp", 0, file)) return L"";
    // The DLL writes only to the path it reaches: the long one, not an 8.3 alias.
    GetLongPathNameW(file, file, MAX_PATH);
    SetEnvironmentVariableW(L"VTPI_LOG", file);
    return file;
}

// Prints the trace file's UTF-8 lines and deletes it.
void PrintTrace(const std::wstring& file) {
    if (file.empty()) return;
    SetEnvironmentVariableW(L"VTPI_LOG", nullptr);
    FILE* in = _wfopen(file.c_str(), L"rb");
    if (in) {
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof(chunk), in)) > 0) text.append(chunk, n);
        fclose(in);
        std::wstring wide(text.size(), L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                        static_cast<int>(wide.size())));
        wprintf(L"trace:\n%ls", wide.c_str());
    }
    DeleteFileW(file.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_CHAR) _setmode(_fileno(stdout), _O_U8TEXT);
    if ((argc == 2 || argc == 3) && (wcscmp(argv[1], L"report") == 0 || wcscmp(argv[1], L"--report") == 0)) {
        PrintReport(ReadMachineReport(argc == 3 ? argv[2] : nullptr));
        return 0;
    }
    const bool trace = argc > 1 && wcscmp(argv[1], L"--trace") == 0;
    if (trace) {
        --argc;
        ++argv;
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
    const std::wstring traceFile = trace ? StartTrace() : L"";
    int result;
    DWORD error;
    if (ansi) {
        result = reinterpret_cast<IDLL_helper_fn>(entry)(narrow.c_str(), install, 0);
        error = GetLastError();
        wprintf(L"IDLL_helper(\"%ls\", %d, 0) = %d\n", argv[2], install, result);
    } else {
        result = reinterpret_cast<VT_installer_fn>(entry)(install, argv[2], 0);
        error = GetLastError();
        wprintf(L"VT_installer(%d, \"%ls\", 0) = %d\n", install, argv[2], result);
    }
    PrintLastError(error);
    PrintTrace(traceFile);
    PrintChanges(before, ReadMachineReport(argv[2]));
    FreeLibrary(dll);
    return result == 0 ? 0 : 1;
}
