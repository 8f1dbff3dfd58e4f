// Stand-in Win32 service (own process) for the testbed. Built twice, as
// VtClientManager.exe and VtConfigManager.exe; the program takes its service
// name from what the service manager passes to ServiceMain, so either file
// serves under any name.
//
// It starts (START_PENDING, then RUNNING accepting stop and shutdown) and on a
// stop request reports STOP_PENDING and then STOPPED. Tests steer it through
// DWORD values under HKLM\System\CurrentControlSet\Services\<name>\Parameters:
//   AcceptStop   0: run without SERVICE_ACCEPT_STOP, so the service manager
//                itself refuses every stop (ERROR_INVALID_SERVICE_CONTROL)
//                and the service never sees it; read at start
//   LingerMs     stay in STOP_PENDING this long before reporting STOPPED
//   RefuseStops  the handler refuses the first n stop requests of this run,
//                returning RefuseError (default ERROR_CALL_NOT_IMPLEMENTED).
//                Wine's service manager drops that code: ControlService still
//                succeeds and the service stays RUNNING
// LingerMs and RefuseStops are read when each stop request arrives, so they
// may be set before the service starts or while it runs.
// Every control received is appended to the REG_MULTI_SZ value "Controls"
// under Parameters: "stop", "stop refused", "interrogate", "shutdown", or the
// control code in hex for anything else.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
CRITICAL_SECTION g_lock;  // g_status and the Controls record
HANDLE g_stopEvent = nullptr;
std::wstring g_name;
DWORD g_refused = 0;  // stop requests refused so far
DWORD g_lingerMs = 0;
DWORD g_acceptStop = SERVICE_ACCEPT_STOP;

std::wstring ParametersPath() {
    return L"System\\CurrentControlSet\\Services\\" + g_name + L"\\Parameters";
}

DWORD ReadParameter(const wchar_t* value, DWORD fallback) {
    DWORD data = 0, size = sizeof(data), type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, ParametersPath().c_str(), value, RRF_RT_REG_DWORD, &type, &data,
                     &size) != ERROR_SUCCESS) {
        return fallback;
    }
    return data;
}

// Appends one entry to Parameters\Controls; caller holds g_lock.
void Record(const std::wstring& entry) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersPath().c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    std::vector<wchar_t> list;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, L"Controls", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        list.resize(size / sizeof(wchar_t));
        if (RegQueryValueExW(key, L"Controls", nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size) !=
            ERROR_SUCCESS) {
            size = 0;
        }
        list.resize(size / sizeof(wchar_t));
        // Keep the entries, each with its closing NUL, but not the list's end.
        while (!list.empty() && list.back() == 0) list.pop_back();
        if (!list.empty()) list.push_back(0);
    }
    list.insert(list.end(), entry.begin(), entry.end());
    list.push_back(0);
    list.push_back(0);
    RegSetValueExW(key, L"Controls", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                   static_cast<DWORD>(list.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

// Caller holds g_lock, except before the handler exists.
void Report(DWORD state, DWORD waitHint) {
    g_status.dwCurrentState = state;
    g_status.dwWaitHint = waitHint;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? g_acceptStop | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : g_status.dwCheckPoint + 1;
    SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    EnterCriticalSection(&g_lock);
    DWORD result = NO_ERROR;
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        if (control == SERVICE_CONTROL_STOP && g_refused < ReadParameter(L"RefuseStops", 0)) {
            ++g_refused;
            Record(L"stop refused");
            result = ReadParameter(L"RefuseError", ERROR_CALL_NOT_IMPLEMENTED);
            break;
        }
        Record(control == SERVICE_CONTROL_STOP ? L"stop" : L"shutdown");
        if (g_status.dwCurrentState == SERVICE_RUNNING) {
            g_lingerMs = control == SERVICE_CONTROL_STOP ? ReadParameter(L"LingerMs", 0) : 0;
            // The wait hint covers the linger, so a caller polling the status
            // sees steady progress rather than a stalled service.
            Report(SERVICE_STOP_PENDING, g_lingerMs + 2000);
            SetEvent(g_stopEvent);
        }
        break;
    case SERVICE_CONTROL_INTERROGATE:
        Record(L"interrogate");
        break;
    default: {
        wchar_t text[16];
        swprintf(text, 16, L"0x%08lX", control);
        Record(text);
        result = ERROR_CALL_NOT_IMPLEMENTED;
        break;
    }
    }
    LeaveCriticalSection(&g_lock);
    return result;
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
    if (argc < 1 || !argv[0]) return;
    g_name = argv[0];
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_statusHandle = RegisterServiceCtrlHandlerExW(g_name.c_str(), Handler, nullptr);
    if (!g_statusHandle) return;
    if (!ReadParameter(L"AcceptStop", 1)) g_acceptStop = 0;
    EnterCriticalSection(&g_lock);
    Report(SERVICE_START_PENDING, 3000);
    Report(SERVICE_RUNNING, 0);
    LeaveCriticalSection(&g_lock);

    WaitForSingleObject(g_stopEvent, INFINITE);
    // Linger in steps, advancing the checkpoint as a working service would.
    for (DWORD left = g_lingerMs; left > 0;) {
        const DWORD step = left < 250 ? left : 250;
        Sleep(step);
        left -= step;
        EnterCriticalSection(&g_lock);
        if (left > 0) Report(SERVICE_STOP_PENDING, left + 2000);
        LeaveCriticalSection(&g_lock);
    }
    EnterCriticalSection(&g_lock);
    Report(SERVICE_STOPPED, 0);
    LeaveCriticalSection(&g_lock);
}

}  // namespace

int wmain() {
    InitializeCriticalSection(&g_lock);
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stopEvent) return 1;
    wchar_t empty[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{empty, ServiceMain}, {nullptr, nullptr}};
    int status = 0;
    if (!StartServiceCtrlDispatcherW(table)) {
        // Run by hand rather than by the service manager.
        std::fprintf(stderr, "not started as a service (error %lu)\n", GetLastError());
        status = 1;
    }
    CloseHandle(g_stopEvent);
    DeleteCriticalSection(&g_lock);
    return status;
}
