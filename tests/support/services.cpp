#include "services.h"

#include <gtest/gtest.h>

#include "registry.h"

namespace testsvc {

DWORD Svcctl(const std::wstring& args) {
    std::wstring command = L"C:\\testbed\\standins\\svcctl.exe " + args;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "svcctl did not start: " << GetLastError();
        return 1;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

void ResetServices() {
    // The image path keeps its quotes: \" inside the quoted argument.
    EXPECT_EQ(0u, Svcctl(L"remove VeltraneClientManager + remove VeltraneConfigurationManager + create "
                         L"VeltraneConfigurationManager \"\\\"C:\\Program Files\\Veltrane\\VtConfigManager.exe\\\"\" demand"));
}

namespace {

SC_HANDLE OpenService(const wchar_t* name, SC_HANDLE* manager) {
    *manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!*manager) return nullptr;
    SC_HANDLE service = OpenServiceW(*manager, name, SERVICE_ALL_ACCESS);
    if (!service) CloseServiceHandle(*manager);
    return service;
}

std::wstring Text(const wchar_t* s) { return s ? s : L"(null)"; }

}  // namespace

bool Exists(const wchar_t* name) { return State(name) != 0; }

bool QueryConfig(const wchar_t* name, Config& config) {
    SC_HANDLE manager;
    SC_HANDLE service = OpenService(name, &manager);
    if (!service) return false;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    const bool ok = QueryServiceConfigW(service, c, static_cast<DWORD>(buffer.size()), &needed);
    if (ok) {
        config.type = c->dwServiceType;
        config.start = c->dwStartType;
        config.errorControl = c->dwErrorControl;
        config.path = Text(c->lpBinaryPathName);
        config.group = Text(c->lpLoadOrderGroup);
        config.dependencies.clear();
        for (const wchar_t* d = c->lpDependencies; d && *d; d += wcslen(d) + 1) config.dependencies += d + std::wstring(L";");
        config.account = Text(c->lpServiceStartName);
        config.displayName = Text(c->lpDisplayName);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

DWORD State(const wchar_t* name) {
    SC_HANDLE manager;
    SC_HANDLE service = OpenService(name, &manager);
    if (!service) return 0;
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwCurrentState;
}

bool WaitUntilGone(const wchar_t* name) {
    for (int i = 0; i < 250; ++i) {
        if (!Exists(name)) return true;
        Sleep(20);
    }
    return false;
}

void Start(const wchar_t* name) {
    EXPECT_EQ(0u, Svcctl(std::wstring(L"start ") + name));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(name));
}

namespace {

std::wstring ParametersKey(const wchar_t* name) {
    return std::wstring(L"System\\CurrentControlSet\\Services\\") + name + L"\\Parameters";
}

}  // namespace

void SetParameter(const wchar_t* name, const wchar_t* value, DWORD data) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&data);
    testreg::SetValue(ParametersKey(name).c_str(), value, REG_DWORD, std::vector<BYTE>(p, p + 4));
}

}  // namespace testsvc
