// The client-manager and legacy services against Wine's real service control
// manager and the stand-in service programs; the spy counts the stop waits.
#include <gtest/gtest.h>

#include "registry.h"
#include "services.h"
#include "base/registry.h"
#include "base/services.h"
#include "spy.h"
#include "steps/client_manager.h"
#include "steps/legacy_service.h"
#include "testbed.h"

using namespace vtpi;

namespace {

const wchar_t* const kInstallDir = L"C:\\Program Files\\Veltrane";

class Services : public testing::Test {
protected:
    void SetUp() override {
        testsvc::ResetServices();
        testreg::SetString(kRunKey, kLegacyRunValue, L"x");
    }
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        testsvc::ResetServices();
        testreg::DeleteValue(kRunKey, kLegacyRunValue);
    }
    static std::vector<std::wstring> Details(const char* function) {
        std::vector<std::wstring> out;
        for (const auto& c : spy::CallsTo(function)) out.push_back(c.detail);
        return out;
    }
    // The service calls in order, handles released service first.
    static void ExpectReleasedInOrder() {
        const auto closes = Details("CloseServiceHandle");
        ASSERT_FALSE(closes.empty());
        EXPECT_EQ(L"manager", closes.back());
        EXPECT_EQ("", spy::DescribeHeld());
    }
};

TEST_F(Services, InstallRegistersEveryParameterWithAQuotedPathAndDoesNotStart) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {kInstallDir, L"\"C:\\Program Files\\Veltrane\\VtClientManager.exe\""},
        {std::wstring(kInstallDir) + L"\\", L"\"C:\\Program Files\\Veltrane\\\\VtClientManager.exe\""},
    };
    for (const auto& c : cases) {
        spy::Scope spy(GetModuleHandleW(nullptr));
        EXPECT_EQ(0u, InstallClientManager(testbed::InstallPathsFor(c.first.c_str())));
        EXPECT_EQ(0, spy::CountOf("StartServiceW"));
        EXPECT_EQ((std::vector<std::wstring>{L"service", L"manager"}), Details("CloseServiceHandle"));
        EXPECT_EQ("", spy::DescribeHeld());

        testsvc::Config config;
        ASSERT_TRUE(testsvc::QueryConfig(kClientManagerService, config));
        EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.type);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.start);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
        EXPECT_EQ(c.second, config.path);
        EXPECT_EQ(L"Extended Base", config.group);
        EXPECT_EQ(L"", config.dependencies);
        EXPECT_EQ(L"LocalSystem", config.account);
        EXPECT_EQ(L"Veltrane Client Manager", config.displayName);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), testsvc::State(kClientManagerService));
        testsvc::ResetServices();
    }
}

// `text` as one command-line argument: quoted, with its own quotes escaped.
std::wstring Argument(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) out += (c == L'"') ? std::wstring(L"\\\"") : std::wstring(1, c);
    return out + L"\"";
}

// An existing registration is kept, except that the unquoted image path an
// earlier release wrote for this same directory (in any letter case, with a
// doubled backslash) gets its quotes, and one whose program does not exist is
// pointed at this directory's program.
TEST_F(Services, InstallKeepsAnExistingRegistrationButRepairsAnEarlierOne) {
    const std::wstring unquoted = std::wstring(kInstallDir) + L"\\VtClientManager.exe";
    const std::wstring quoted = L"\"" + unquoted + L"\"";
    const std::wstring tray = L"C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe";
    const std::pair<std::wstring, std::wstring> cases[] = {
        {unquoted, quoted},
        {L"c:\\program files\\veltrane\\vtclientmanager.exe", quoted},
        {std::wstring(kInstallDir) + L"\\\\VtClientManager.exe", quoted},
        {quoted, quoted},
        // Programs that no longer exist.
        {L"C:\\elsewhere\\other.exe", quoted},
        {L"\"C:\\Program Files\\Other\\VtClientManager.exe\" -x", quoted},
        // Programs that exist, and paths that cannot be looked up.
        {tray, tray},
        {L"\"" + tray + L"\" -debug", L"\"" + tray + L"\" -debug"},
        {tray + L" -debug", tray + L" -debug"},
        {L"%ProgramFiles%\\Other\\other.exe", L"%ProgramFiles%\\Other\\other.exe"},
        {L"C:\\elsewhere\\other", L"C:\\elsewhere\\other"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.first));
        testsvc::ResetServices();
        ASSERT_EQ(0u, testsvc::Svcctl(L"create VeltraneClientManager " + Argument(c.first) + L" demand"));
        testsvc::Config before;
        ASSERT_TRUE(testsvc::QueryConfig(kClientManagerService, before));
        ASSERT_EQ(c.first, before.path);
        spy::Scope spy(GetModuleHandleW(nullptr));
        EXPECT_EQ(0u, InstallClientManager(testbed::InstallPathsFor(kInstallDir)));
        EXPECT_EQ(c.first == c.second ? 0 : 1, spy::CountOf("ChangeServiceConfigW"));
        ExpectReleasedInOrder();

        testsvc::Config after;
        ASSERT_TRUE(testsvc::QueryConfig(kClientManagerService, after));
        EXPECT_EQ(c.second, after.path);
        // Nothing else changes.
        EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), after.start);
        EXPECT_EQ(before.displayName, after.displayName);
        EXPECT_EQ(before.group, after.group);
        EXPECT_EQ(before.account, after.account);
        EXPECT_EQ(before.type, after.type);
        EXPECT_EQ(before.errorControl, after.errorControl);
    }
}

// A client manager still marked for deletion (uninstalled while another
// program held it open, and no restart since) cannot be registered again:
// the install fails with that error rather than succeed without one.
TEST_F(Services, InstallFailsWhileTheOldClientManagerIsMarkedForDeletion) {
    const InstallPaths paths = testbed::InstallPathsFor(kInstallDir);
    ASSERT_EQ(0u, InstallClientManager(paths));
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE held = OpenServiceW(manager, kClientManagerService, SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(0u, RemoveClientManager());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), InstallClientManager(paths));
    CloseServiceHandle(held);
    CloseServiceHandle(manager);
    ASSERT_TRUE(testsvc::WaitUntilGone(kClientManagerService));
    EXPECT_EQ(0u, InstallClientManager(paths));
    EXPECT_TRUE(testsvc::Exists(kClientManagerService));
}

TEST_F(Services, UninstallStopsWaitsWhileStoppingThenDeletes) {
    ASSERT_EQ(0u, InstallClientManager(testbed::InstallPathsFor(kInstallDir)));
    testsvc::SetParameter(kClientManagerService, L"LingerMs", 1500);
    testsvc::Start(kClientManagerService);
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        EXPECT_EQ(0u, RemoveClientManager());
        EXPECT_EQ(std::vector<std::wstring>{L"1"}, Details("ControlService"));
        // Stop-pending at the first poll, stopped at the second.
        EXPECT_EQ((std::vector<std::wstring>{L"1000", L"1000"}), Details("Sleep"));
        EXPECT_EQ(2, spy::CountOf("QueryServiceStatus"));
        EXPECT_EQ(1, spy::CountOf("DeleteService"));
        ExpectReleasedInOrder();
    }
    EXPECT_TRUE(testsvc::WaitUntilGone(kClientManagerService));

    // Stopped: the refused stop request is followed at once by the deletion.
    ASSERT_EQ(0u, InstallClientManager(testbed::InstallPathsFor(kInstallDir)));
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        EXPECT_EQ(0u, RemoveClientManager());
        EXPECT_EQ(1, spy::CountOf("ControlService"));
        EXPECT_EQ(0, spy::CountOf("Sleep"));
        EXPECT_EQ(1, spy::CountOf("DeleteService"));
    }
    EXPECT_TRUE(testsvc::WaitUntilGone(kClientManagerService));

    // Absent: nothing to do, and still success.
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, RemoveClientManager());
    EXPECT_EQ(0, spy::CountOf("ControlService"));
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(Services, ARunningLegacyServiceIsStoppedAndDeletedAndItsAutorunValueGoes) {
    testsvc::SetParameter(kLegacyService, L"LingerMs", 300);
    testsvc::Start(kLegacyService);
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, RemoveLegacyConfigManager());
    EXPECT_EQ(1, spy::CountOf("ControlService"));
    EXPECT_EQ(1, spy::CountOf("Sleep"));
    EXPECT_EQ(1, spy::CountOf("DeleteService"));
    EXPECT_EQ("", spy::DescribeHeld());
    EXPECT_TRUE(testsvc::WaitUntilGone(kLegacyService));
    EXPECT_FALSE(testreg::ReadValue(kRunKey, kLegacyRunValue).exists);
}

TEST_F(Services, ARefusedStopIsSentOnceMoreAtOnce) {
    // Refused once, then accepted: one wait, then the deletion.
    testsvc::Start(kLegacyService);
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail("ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        EXPECT_TRUE(StopAndDeleteService(kLegacyService));
        EXPECT_EQ(2, spy::CountOf("ControlService"));
        EXPECT_EQ(1, spy::CountOf("Sleep"));
    }
    EXPECT_TRUE(testsvc::WaitUntilGone(kLegacyService));

    // A service that accepts no stop at all: two refusals, no wait, deletion.
    testsvc::ResetServices();
    testsvc::SetParameter(kLegacyService, L"AcceptStop", 0);
    testsvc::Start(kLegacyService);
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_TRUE(StopAndDeleteService(kLegacyService));
    EXPECT_EQ(2, spy::CountOf("ControlService"));
    EXPECT_EQ(0, spy::CountOf("Sleep"));
    EXPECT_EQ(1, spy::CountOf("DeleteService"));
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(Services, AStoppedLegacyServiceStaysInstalled) {
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, RemoveLegacyConfigManager());
    EXPECT_EQ(0, spy::CountOf("ControlService"));
    EXPECT_EQ(0, spy::CountOf("DeleteService"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), testsvc::State(kLegacyService));
    EXPECT_FALSE(testreg::ReadValue(kRunKey, kLegacyRunValue).exists);
    // The value already gone: nothing to delete, still success.
    EXPECT_FALSE(DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue));
    EXPECT_EQ(0u, RemoveLegacyConfigManager());
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(Services, WithoutTheServiceControlManagerOnlyTheLegacyStepSucceeds) {
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr, 0, -1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), InstallClientManager(testbed::InstallPathsFor(kInstallDir)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), RemoveClientManager());
    EXPECT_FALSE(IsServiceRunning(kLegacyService));
    EXPECT_FALSE(StopAndDeleteService(kLegacyService));
    EXPECT_EQ(0u, RemoveLegacyConfigManager());
    EXPECT_FALSE(testsvc::Exists(kClientManagerService));
    EXPECT_EQ("", spy::DescribeHeld());
}

}  // namespace
