// One IDLL_helper call in a process of its own, so that the kill sweep can
// end it midway as a setup program killed at that moment would end:
//   kill_child install|uninstall FOLDER RECORD [N]
// With N the process ends right before the DLL's N-th hooked call, after
// writing that call to RECORD (see spy::KillBefore). Without N, or when the
// call makes fewer calls, the call runs to its end and RECORD gets, one a
// line in UTF-16, "result\t<its result>" and then every hooked call it made,
// "function\tdetail". The exit code is 0 for a call that answered 0, 1 for
// one that answered -1, spy::kKilledExitCode for a killed one and 2 for a
// bad command line or a record that could not be written.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "dll.h"
#include "spy.h"

namespace {

std::wstring Describe(int result) {
    std::wstring text = L"result\t" + std::to_wstring(result) + L"\n";
    for (const spy::Call& call : spy::Calls()) {
        text += std::wstring(call.function.begin(), call.function.end()) + L"\t" + call.detail + L"\n";
    }
    return text;
}

bool WriteRecord(const wchar_t* path, const std::wstring& text) {
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const bool ok = WriteFile(file, text.data(), bytes, &written, nullptr) && written == bytes;
    CloseHandle(file);
    return ok;
}

// The folder as a setup program passes it to IDLL_helper, in the ANSI code page.
std::string Narrow(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], bytes, nullptr, nullptr);
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc > 5 || (wcscmp(argv[1], L"install") != 0 && wcscmp(argv[1], L"uninstall") != 0)) {
        fwprintf(stderr, L"usage: kill_child install|uninstall FOLDER RECORD [N]\n");
        return 2;
    }
    const bool install = wcscmp(argv[1], L"install") == 0;
    const std::string folder = Narrow(argv[2]);
    const IDLL_helper_fn helper = testdll::Helper();
    if (!helper) return 2;
    spy::Scope spy(testdll::Module());
    if (argc == 5) spy::KillBefore(_wtoi(argv[4]), argv[3]);
    const int result = helper(folder.c_str(), install ? 1 : 0, 0);
    if (!WriteRecord(argv[3], Describe(result))) return 2;
    return result == 0 ? 0 : 1;
}
