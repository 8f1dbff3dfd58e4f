// svcctl.exe: sets up and inspects Win32 services in the testbed prefix
// through the service manager, and steers the stand-in services.
//
//   svcctl [--time] COMMAND [ARGS...] [+ COMMAND [ARGS...]]...
//
// Commands run in order in one process ("+" separates them):
//   create NAME IMAGE [auto|demand]  CreateServiceW: own process, error normal,
//                               display name NAME, no group, dependencies or
//                               account; IMAGE exactly as given (quote it
//                               yourself); prints "created"
//   start NAME                  StartServiceW, then waits (10 s at most) while
//                               START_PENDING; prints the state
//   stop NAME                   ControlService(SERVICE_CONTROL_STOP) once;
//                               prints "accepted STATE" with the state returned
//   wait NAME STATE [MS]        polls every 20 ms until the state is STATE
//                               (RUNNING, STOPPED, ...) or MS (10000) pass;
//                               prints "STATE"
//   delete NAME                 DeleteService; prints "deleted"
//   kill NAME                   ends the service's process; prints "killed"
//   remove NAME                 stops NAME when it runs and waits (10 s at
//                               most) until it is stopped, ends its process if
//                               it refused or timed out (printing "killed"),
//                               deletes it and waits until it is gone; prints
//                               "removed" or "absent"
//   query NAME                  prints the state
//   config NAME                 QueryServiceConfigW, one field a line
//   registry NAME               the service key's values as stored:
//                               "NAME TYPE BYTES DATA"; subkeys as "key NAME"
//   set NAME VALUE NUMBER       Parameters\VALUE = NUMBER (REG_DWORD)
//   controls NAME               Parameters\Controls, one entry a line
//   clear NAME                  deletes Parameters\Controls, AcceptStop,
//                               LingerMs, RefuseStops and RefuseError
//   sleep MS                    waits
// A failed call prints "error N". --time adds "time N ms" after each command.
// Exit status 0 when every command succeeded, 1 otherwise, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

void Print(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    std::fputs(utf8.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool Fail(DWORD error) {
    Print(L"error " + std::to_wstring(error));
    return false;
}

bool ParseNumber(const std::wstring& text, unsigned long& out) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    out = std::wcstoul(text.c_str(), &end, 0);
    return end && *end == L'\0';
}

const wchar_t* const kStates[] = {L"UNKNOWN",      L"STOPPED",          L"START_PENDING",  L"STOP_PENDING",
                                  L"RUNNING",      L"CONTINUE_PENDING", L"PAUSE_PENDING", L"PAUSED"};

std::wstring StateName(DWORD state) {
    return state < ARRAYSIZE(kStates) ? kStates[state] : std::to_wstring(state);
}

// A service handle and the manager handle it came from, closed together.
class Service {
public:
    Service(const std::wstring& name, DWORD access) {
        scm_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (!scm_) {
            error_ = GetLastError();
            return;
        }
        service_ = OpenServiceW(scm_, name.c_str(), access);
        if (!service_) error_ = GetLastError();
    }
    ~Service() {
        if (service_) CloseServiceHandle(service_);
        if (scm_) CloseServiceHandle(scm_);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    SC_HANDLE get() const { return service_; }
    DWORD error() const { return error_; }

private:
    SC_HANDLE scm_ = nullptr;
    SC_HANDLE service_ = nullptr;
    DWORD error_ = ERROR_SUCCESS;
};

// The current state, or 0 with *error set.
DWORD QueryState(SC_HANDLE service, DWORD* error) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) {
        *error = GetLastError();
        return 0;
    }
    return status.dwCurrentState;
}

// Polls until the state is `want` or `ms` pass; returns the last state seen
// (0 on a failed query, with *error set).
DWORD WaitFor(SC_HANDLE service, DWORD want, DWORD ms, DWORD* error) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        const DWORD state = QueryState(service, error);
        if (state == want || state == 0 || GetTickCount64() >= end) return state;
        Sleep(20);
    }
}

// Waits until OpenServiceW reports the service gone.
bool WaitGone(const std::wstring& name, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        {
            Service s(name, SERVICE_QUERY_STATUS);
            if (s.error() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        }
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
}

bool Create(const Args& a) {
    DWORD start = SERVICE_DEMAND_START;
    if (a.size() == 4 && a[3] == L"auto") start = SERVICE_AUTO_START;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return Fail(GetLastError());
    SC_HANDLE service = CreateServiceW(scm, a[1].c_str(), a[1].c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       start, SERVICE_ERROR_NORMAL, a[2].c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
    const DWORD error = GetLastError();
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(scm);
    if (!service) return Fail(error);
    Print(L"created");
    return true;
}

bool Start(const Args& a) {
    Service s(a[1], SERVICE_START | SERVICE_QUERY_STATUS);
    if (!s.get()) return Fail(s.error());
    if (!StartServiceW(s.get(), 0, nullptr)) return Fail(GetLastError());
    DWORD error = 0;
    const ULONGLONG end = GetTickCount64() + 10000;
    DWORD state;
    while ((state = QueryState(s.get(), &error)) == SERVICE_START_PENDING && GetTickCount64() < end) Sleep(20);
    if (!state) return Fail(error);
    Print(StateName(state));
    return state == SERVICE_RUNNING;
}

bool Stop(const Args& a) {
    Service s(a[1], SERVICE_STOP);
    if (!s.get()) return Fail(s.error());
    SERVICE_STATUS status = {};
    if (!ControlService(s.get(), SERVICE_CONTROL_STOP, &status)) return Fail(GetLastError());
    Print(L"accepted " + StateName(status.dwCurrentState));
    return true;
}

bool Wait(const Args& a) {
    DWORD want = 0;
    for (DWORD i = 1; i < ARRAYSIZE(kStates); ++i) {
        if (a[2] == kStates[i]) want = i;
    }
    unsigned long ms = 10000;
    if (!want || (a.size() == 4 && !ParseNumber(a[3], ms))) {
        Print(L"wait: bad state or time");
        return false;
    }
    Service s(a[1], SERVICE_QUERY_STATUS);
    if (!s.get()) return Fail(s.error());
    DWORD error = 0;
    const DWORD state = WaitFor(s.get(), want, ms, &error);
    if (!state) return Fail(error);
    Print(StateName(state));
    return state == want;
}

bool Delete(const Args& a) {
    Service s(a[1], DELETE);
    if (!s.get()) return Fail(s.error());
    if (!DeleteService(s.get())) return Fail(GetLastError());
    Print(L"deleted");
    return true;
}

// Ends the service's process and waits for it to end; ERROR_SERVICE_NOT_ACTIVE
// when the service manager knows of no process for it.
DWORD TerminateServiceProcess(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
        return GetLastError();
    }
    if (!status.dwProcessId) return ERROR_SERVICE_NOT_ACTIVE;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
    if (!process) return GetLastError();
    DWORD error = ERROR_SUCCESS;
    if (!TerminateProcess(process, 1)) error = GetLastError();
    else if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) error = WAIT_TIMEOUT;
    CloseHandle(process);
    return error;
}

bool Kill(const Args& a) {
    Service s(a[1], SERVICE_QUERY_STATUS);
    if (!s.get()) return Fail(s.error());
    const DWORD error = TerminateServiceProcess(s.get());
    if (error != ERROR_SUCCESS) return Fail(error);
    Print(L"killed");
    return true;
}

bool Remove(const Args& a) {
    {
        Service s(a[1], SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
        if (s.error() == ERROR_SERVICE_DOES_NOT_EXIST) {
            Print(L"absent");
            return true;
        }
        if (!s.get()) return Fail(s.error());
        DWORD error = 0;
        DWORD state = QueryState(s.get(), &error);
        if (state && state != SERVICE_STOPPED) {
            // Wait only for a service that is stopping; one that refused is
            // ended at once.
            SERVICE_STATUS status = {};
            if (ControlService(s.get(), SERVICE_CONTROL_STOP, &status) || GetLastError() == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
                state = QueryState(s.get(), &error);
            if (state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING)
                state = WaitFor(s.get(), SERVICE_STOPPED, 10000, &error);
            if (state != SERVICE_STOPPED) {
                // No process: Wine still shows RUNNING for a service whose
                // process it ended itself.
                error = TerminateServiceProcess(s.get());
                if (error == ERROR_SUCCESS) Print(L"killed");
                else if (error != ERROR_SERVICE_NOT_ACTIVE) return Fail(error);
            }
        }
        if (!DeleteService(s.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) return Fail(GetLastError());
    }
    if (!WaitGone(a[1], 10000)) {
        Print(L"still present");
        return false;
    }
    Print(L"removed");
    return true;
}

bool Query(const Args& a) {
    Service s(a[1], SERVICE_QUERY_STATUS);
    if (!s.get()) return Fail(s.error());
    DWORD error = 0;
    const DWORD state = QueryState(s.get(), &error);
    if (!state) return Fail(error);
    Print(StateName(state));
    return true;
}

std::wstring Text(const wchar_t* s) { return s ? s : L"<null>"; }

// The strings of a list of NUL-terminated strings closed by an empty one,
// joined by "|", in brackets: "[]" for an empty list.
std::wstring MultiSz(const wchar_t* s) {
    if (!s) return L"<null>";
    std::wstring out = L"[";
    for (bool first = true; *s; s += wcslen(s) + 1, first = false) out += (first ? L"" : L"|") + std::wstring(s);
    return out + L"]";
}

bool Config(const Args& a) {
    Service s(a[1], SERVICE_QUERY_CONFIG);
    if (!s.get()) return Fail(s.error());
    DWORD needed = 0;
    QueryServiceConfigW(s.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(s.get(), c, static_cast<DWORD>(buffer.size()), &needed)) return Fail(GetLastError());
    wchar_t type[16];
    swprintf(type, 16, L"0x%lX", c->dwServiceType);
    Print(L"type " + std::wstring(type));
    Print(L"start " + std::to_wstring(c->dwStartType));
    Print(L"error " + std::to_wstring(c->dwErrorControl));
    Print(L"image " + Text(c->lpBinaryPathName));
    Print(L"group [" + Text(c->lpLoadOrderGroup) + L"]");
    Print(L"tag " + std::to_wstring(c->dwTagId));
    Print(L"dependencies " + MultiSz(c->lpDependencies));
    Print(L"account " + Text(c->lpServiceStartName));
    Print(L"display " + Text(c->lpDisplayName));
    return true;
}

std::wstring KeyPath(const std::wstring& name, bool parameters) {
    return L"System\\CurrentControlSet\\Services\\" + name + (parameters ? L"\\Parameters" : L"");
}

std::wstring TypeName(DWORD type) {
    switch (type) {
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    default: return std::to_wstring(type);
    }
}

std::wstring ValueText(DWORD type, const std::vector<BYTE>& data) {
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && data.size() % 2 == 0) {
        std::wstring units(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
        if (type != REG_MULTI_SZ) return L"\"" + std::wstring(units.c_str()) + L"\"";
        units.append(2, L'\0');
        return MultiSz(units.c_str());
    }
    if (type == REG_DWORD && data.size() == 4) {
        DWORD v;
        memcpy(&v, data.data(), 4);
        return std::to_wstring(v);
    }
    std::wstring hex;
    for (BYTE b : data) {
        wchar_t two[4];
        swprintf(two, 4, L"%02X", b);
        hex += two;
    }
    return hex;
}

bool Registry(const Args& a) {
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(a[1], false).c_str(), 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return Fail(status);
    bool ok = true;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = ARRAYSIZE(name), type = 0, size = 0;
        LSTATUS r = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size);
        if (r == ERROR_NO_MORE_ITEMS) break;
        std::vector<BYTE> data(size);
        nameLength = ARRAYSIZE(name);
        if (r == ERROR_SUCCESS)
            r = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if (r != ERROR_SUCCESS) {
            ok = Fail(r);
            break;
        }
        data.resize(size);
        Print(std::wstring(name) + L" " + TypeName(type) + L" " + std::to_wstring(size) + L" " + ValueText(type, data));
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        Print(L"key " + std::wstring(name));
    }
    RegCloseKey(key);
    return ok;
}

bool Set(const Args& a) {
    unsigned long v;
    if (!ParseNumber(a[3], v)) {
        Print(L"set: bad number");
        return false;
    }
    const DWORD value = static_cast<DWORD>(v);
    const LSTATUS status =
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, KeyPath(a[1], true).c_str(), a[2].c_str(), REG_DWORD, &value, sizeof(value));
    return status == ERROR_SUCCESS || Fail(status);
}

bool Controls(const Args& a) {
    DWORD size = 0;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, KeyPath(a[1], true).c_str(), L"Controls", RRF_RT_REG_MULTI_SZ,
                                  nullptr, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    std::vector<wchar_t> list(size / sizeof(wchar_t) + 2, L'\0');
    if (status == ERROR_SUCCESS)
        status = RegGetValueW(HKEY_LOCAL_MACHINE, KeyPath(a[1], true).c_str(), L"Controls", RRF_RT_REG_MULTI_SZ,
                              nullptr, list.data(), &size);
    if (status != ERROR_SUCCESS) return Fail(status);
    for (const wchar_t* s = list.data(); *s; s += wcslen(s) + 1) Print(s);
    return true;
}

bool Clear(const Args& a) {
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(a[1], true).c_str(), 0, KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return Fail(status);
    for (const wchar_t* value : {L"Controls", L"AcceptStop", L"LingerMs", L"RefuseStops", L"RefuseError"}) RegDeleteValueW(key, value);
    RegCloseKey(key);
    return true;
}

bool SleepFor(const Args& a) {
    unsigned long ms;
    if (!ParseNumber(a[1], ms)) return false;
    Sleep(ms);
    return true;
}

struct Command {
    const wchar_t* name;
    size_t minArgs, maxArgs;  // not counting the command itself
    bool (*run)(const Args&);
};

const Command kCommands[] = {
    {L"create", 2, 3, Create},   {L"start", 1, 1, Start},       {L"stop", 1, 1, Stop},
    {L"wait", 2, 3, Wait},       {L"delete", 1, 1, Delete},     {L"remove", 1, 1, Remove},   {L"kill", 1, 1, Kill},
    {L"query", 1, 1, Query},     {L"config", 1, 1, Config},     {L"registry", 1, 1, Registry},
    {L"set", 3, 3, Set},         {L"controls", 1, 1, Controls}, {L"clear", 1, 1, Clear},
    {L"sleep", 1, 1, SleepFor},
};

const Command* Find(const Args& a) {
    for (const Command& c : kCommands) {
        if (a[0] == c.name && a.size() - 1 >= c.minArgs && a.size() - 1 <= c.maxArgs) return &c;
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    const bool timed = argc > 1 && std::wstring(argv[1]) == L"--time";
    if (timed) ++first;
    std::vector<Args> commands(1);
    for (int i = first; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"+") {
            commands.emplace_back();
        } else {
            commands.back().push_back(argv[i]);
        }
    }
    for (const Args& a : commands) {
        if (a.empty() || !Find(a)) {
            std::fputs("usage: svcctl [--time] COMMAND [ARGS...] [+ COMMAND [ARGS...]]... (see svcctl.cpp)\n", stderr);
            return 2;
        }
    }
    bool ok = true;
    for (const Args& a : commands) {
        const ULONGLONG begin = GetTickCount64();
        ok = Find(a)->run(a) && ok;
        if (timed) Print(L"time " + std::to_wstring(GetTickCount64() - begin) + L" ms");
    }
    return ok ? 0 : 1;
}
