// Why a call failed: the last error both exports leave, and the trace that
// VTPI_LOG collects, on the testbed and with faults from the spy.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "devices_api.h"
#include "dll.h"
#include "registry.h"
#include "services.h"
#include "spy.h"
#include "steps/class_filters.h"
#include "steps/client_manager.h"
#include "steps/disk_filter.h"
#include "steps/driver_refresh.h"
#include "steps/legacy_service.h"
#include "steps/main_driver.h"
#include "testbed.h"

using namespace vtpi;

namespace {

const wchar_t* const kDir = L"C:\\testbed\\diag";
const char* const kAnsiDir = "C:\\testbed\\diag";
const wchar_t* const kLog = L"C:\\testbed\\diag-trace.log";

class Diagnostics : public testing::Test {
protected:
    testreg::FilterListsSnapshot lists_;
    testbed::ScratchDir dir_{L"diag"};

    void SetUp() override {
        DeleteFileW(kLog);
        // A disk device whose own list holds the filter.
        vtdev::RemoveAllDisks();
        ASSERT_EQ(0u, vtdev::AddDisk(L"DIAG", {L"X", L"veltrane"}));
    }
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        vtdev::RemoveAllDisks();
        SetEnvironmentVariableW(L"VTPI_LOG", nullptr);
        DeleteFileW(kLog);
        testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());
        testsvc::ResetServices();
        testreg::DeleteTree(L"Software\\Tessavar");
    }

    // The export's result and the last error it left, from a poisoned start.
    static std::pair<int, DWORD> Install(int install = 1) {
        SetLastError(0xDEAD);
        const int result = testdll::Installer()(install, kDir, 0);
        return {result, GetLastError()};
    }
    static std::pair<int, DWORD> Helper(const char* dir = kAnsiDir, int install = 1) {
        SetLastError(0xDEAD);
        const int result = testdll::Helper()(dir, install, 0);
        return {result, GetLastError()};
    }
    static std::string ReadLog() {
        std::ifstream in("C:\\testbed\\diag-trace.log", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

using Outcome = std::pair<int, DWORD>;

TEST_F(Diagnostics, ASuccessfulCallClearsAnEarlierError) {
    EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Install());
    EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Helper());
    EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Install(0));
}

TEST_F(Diagnostics, ADirectoryThatCannotBeUsedGivesInvalidParameter) {
    const std::string tooLong = "C:\\" + std::string(VTPI_MAX_INSTALL_DIR, 'd');
    for (const char* dir : {static_cast<const char*>(nullptr), "", "diag", "C:diag", tooLong.c_str()}) {
        SCOPED_TRACE(dir ? dir : "null");
        EXPECT_EQ(Outcome(-1, ERROR_INVALID_PARAMETER), Helper(dir));
        const std::wstring wide = dir ? std::wstring(dir, dir + strlen(dir)) : L"";
        SetLastError(0xDEAD);
        EXPECT_EQ(-1, testdll::Installer()(1, dir ? wide.c_str() : nullptr, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
}

// Each gating step's failure, with the error a setup author then sees.
TEST_F(Diagnostics, EachGatingFailureLeavesTheErrorOfItsStep) {
    struct Case {
        const char* what;
        const char* function;
        const wchar_t* detail;
        DWORD error;     // the fault the spy plans
        DWORD expected;  // the last error afterwards
    };
    const Case cases[] = {
        {"driver service key absent", "RegOpenKeyExW", kMainDriverServiceKey, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {"driver service key denied", "RegOpenKeyExW", kMainDriverServiceKey, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"driver file absent", "FindFirstFileW", nullptr, ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {"SETUPAPI not loaded", "LoadLibraryExW", nullptr, ERROR_MOD_NOT_FOUND, ERROR_MOD_NOT_FOUND},
        {"no device set", "SetupDiGetClassDevsW", nullptr, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {"disk class key denied", "RegOpenKeyW", kDiskClassKey, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"disk class list unreadable", "RegQueryValueExW", kUpperFiltersValue, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"disk class list write refused", "RegSetValueExW", kUpperFiltersValue, ERROR_WRITE_PROTECT, ERROR_WRITE_PROTECT},
        {"service control manager denied", "OpenSCManagerW", nullptr, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"client manager still marked for deletion", "CreateServiceW", nullptr, ERROR_SERVICE_MARKED_FOR_DELETE,
         ERROR_SERVICE_MARKED_FOR_DELETE},
        {"crash-dump key denied", "RegOpenKeyW", kCrashControlKey, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"crash-dump list write refused", "RegSetValueExW", kDumpFiltersValue, ERROR_DISK_FULL, ERROR_DISK_FULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        spy::Scope spy(testdll::Module());
        spy::Fail(c.function, c.error, c.detail, 0, -1);
        EXPECT_EQ(Outcome(-1, c.expected), Install());
        // IDLL_helper leaves its sequence's error, whatever its registration met.
        spy::Fail("SHGetSpecialFolderLocation", ERROR_ACCESS_DENIED);
        EXPECT_EQ(Outcome(-1, c.expected), Helper());
    }
    // The driver file really absent from the testbed.
    testbed::PlaceFile(nullptr, testbed::SystemDriverCopy());
    EXPECT_EQ(Outcome(-1, ERROR_FILE_NOT_FOUND), Install());
}

// Lines of the trace file that contain `text`, counted.
int Count(const std::string& log, const std::string& text) {
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

TEST_F(Diagnostics, TheTraceFileHasALineForEveryStepOfAnInstallAndAnUninstall) {
    testbed::PlaceFile(L"standin_veltrane_v2105.sys", std::wstring(kDir) + L"\\veltrane.sys");
    testbed::PlaceFile(L"VtClientManager.exe", std::wstring(kDir) + L"\\VtClientManager.exe");
    testreg::SetList(kDiskClassKey, kUpperFiltersValue, {L"PartMgr", L"veltrane"});
    SetEnvironmentVariableW(L"VTPI_LOG", kLog);
    {
        spy::Scope spy(testdll::Module());
        EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Helper());
        // Running, so that the uninstall stops it and waits.
        testsvc::Start(kClientManagerService);
        EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Helper(kAnsiDir, 0));
        // Opened once per call, for appending, shared for reading.
        int opens = 0;
        for (const spy::Call& c : spy::CallsTo("CreateFileW")) {
            if (c.detail != kLog) continue;
            ++opens;
            EXPECT_EQ(static_cast<DWORD>(FILE_APPEND_DATA | DELETE), c.access);  // DELETE: a refused new file goes again
            EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ), c.share);
        }
        EXPECT_EQ(2, opens);
        EXPECT_EQ("", spy::DescribeHeld());
    }
    const std::string log = ReadLog();
    const size_t second = log.find("VtPostInstall: IDLL_helper", log.find("VtPostInstall: IDLL_helper") + 1);
    ASSERT_NE(std::string::npos, second) << log;
    const std::string install = log.substr(0, second), uninstall = log.substr(second);
    const std::string both[] = {
        "VtPostInstall: IDLL_helper\r\n",
        "tray application: C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe\r\n",
        "VTFILES41.LST: listed",
        "encrypted file system: \\\\.\\VeltraneFS",
        "main driver present: done",
        "disk filter: done",
        "floppy filter",
        "legacy configuration manager: not running, left alone",
        "client manager service: done",
        "DumpFilters before",
        "crash-dump filter: done",
        "result 0\r\n",
    };
    for (const std::string& line : both) {
        EXPECT_LE(1, Count(install, line)) << line << "\n" << log;
        EXPECT_LE(1, Count(uninstall, line)) << line << "\n" << log;
    }
    const std::string installOnly[] = {
        "install in C:\\testbed\\diag\r\n",
        "shared-files entry Entry1: new",
        "device UpperFilters before: X, veltrane\r\n",
        "device UpperFilters after: X\r\n",
        "  UpperFilters before: PartMgr, veltrane\r\n",
        "driver refresh: system copy 2.0.9.0, install copy 2.1.0.5: replaced",
        "request 002220CC 00000000 to \\\\.\\RSVLOCK: done",
        "request 002220CC 01000000 to \\\\.\\RSVLOCK: done",
        "request 0009C040 0000 to \\\\.\\VELTRANE: done",
        "UpperFilters after: VELTRANE, PartMgr\r\n",
        "client manager created",
        "DumpFilters after: VtHiber.sys",
    };
    for (const std::string& line : installOnly) EXPECT_EQ(1, Count(install, line)) << line << "\n" << log;
    const std::string uninstallOnly[] = {
        "uninstall in C:\\testbed\\diag\r\n",
        "shared-files entry Entry1: found",
        "UpperFilters before: VELTRANE, PartMgr\r\n",
        "UpperFilters after: PartMgr\r\n",
        "stop requested",
        "s: stopped\r\n",
        "client manager deleted",
    };
    for (const std::string& line : uninstallOnly) EXPECT_EQ(1, Count(uninstall, line)) << line << "\n" << log;
    // Every line names the time and the process.
    const std::string pid = "[" + std::to_string(GetCurrentProcessId()) + "] VtPostInstall: ";
    EXPECT_EQ(Count(log, "\r\n"), Count(log, pid)) << log;
}

// A trace that cannot be written changes neither the result nor the last error.
TEST_F(Diagnostics, ALogInAFolderThatDoesNotExistChangesNothing) {
    SetEnvironmentVariableW(L"VTPI_LOG", L"C:\\testbed\\no such folder\\trace.log");
    EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Install());
    spy::Scope spy(testdll::Module());
    spy::Fail("OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr, 0, -1);
    EXPECT_EQ(Outcome(-1, ERROR_ACCESS_DENIED), Helper());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\testbed\\no such folder"));
}

// A trace file is only ever a regular file with one name, reached by the
// path given: a second name of another file gets nothing, and a device, pipe,
// namespace or network path is not even opened. The call is unchanged.
TEST_F(Diagnostics, ALogThatIsALinkAPipeOrADeviceGetsNothing) {
    const std::wstring target = std::wstring(kDir) + L"\\other-file.txt";
    {
        const HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, "keep", 4, &written, nullptr);
        CloseHandle(file);
    }
    ASSERT_TRUE(CreateHardLinkW(kLog, target.c_str(), nullptr));
    SetEnvironmentVariableW(L"VTPI_LOG", kLog);
    EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Install());
    EXPECT_EQ("keep", ReadLog());
    // Nor does a file reached through a folder that leads elsewhere (the
    // testbed's C:\testbed\linked-diag is C:\testbed\diag, as a junction makes
    // it on Windows); one that the open made there goes again.
    ASSERT_TRUE(DeleteFileW(kLog));  // the other file has one name again
    for (const wchar_t* linked : {L"C:\\testbed\\linked-diag\\other-file.txt", L"C:\\testbed\\linked-diag\\new.log"}) {
        SetEnvironmentVariableW(L"VTPI_LOG", linked);
        EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Install(0));
    }
    std::ifstream kept(target.c_str(), std::ios::binary);
    EXPECT_EQ("keep", std::string(std::istreambuf_iterator<char>(kept), {}));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\testbed\\diag\\new.log"));

    // Nor is a path on another machine, which would be sent the caller's
    // credentials, the local one included.
    for (const wchar_t* refused : {L"\\\\.\\pipe\\vtpi-trace", L"//./pipe/vtpi-trace", L"\\\\.\\RSVLOCK",
                                   L"\\\\?\\C:\\testbed\\trace.log", L"\\??\\C:\\testbed\\trace.log",
                                   L"\\\\localhost\\pipe\\vtpi-trace", L"\\\\localhost\\C$\\testbed\\trace.log",
                                   L"//localhost/C$/testbed/trace.log", L"\\\\Veltrane\\Vtfs\\trace.log"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(refused)));
        SetEnvironmentVariableW(L"VTPI_LOG", refused);
        spy::Scope spy(testdll::Module());
        EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Install(0));
        for (const spy::Call& c : spy::CallsTo("CreateFileW")) EXPECT_EQ(std::wstring::npos, c.detail.find(L"trace"));
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\testbed\\trace.log"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\testbed\\efs\\unc\\trace.log"));
}

// Where the system cannot tell a link on the way (before Vista, without
// GetFinalPathNameByHandleW), only a file inside the install folder is used.
TEST_F(Diagnostics, WhereLinksCannotBeToldOnlyALogInTheInstallFolderIsUsed) {
    const std::wstring inside = std::wstring(kDir) + L"\\trace.log";
    for (const std::wstring& log : {std::wstring(kLog), inside}) {
        SetEnvironmentVariableW(L"VTPI_LOG", log.c_str());
        spy::Scope spy(testdll::Module());
        spy::Fail("GetProcAddress", ERROR_PROC_NOT_FOUND, L"GetFinalPathNameByHandleW", 0, -1);
        EXPECT_EQ(Outcome(0, ERROR_SUCCESS), Install());
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kLog));
    std::ifstream in(inside.c_str(), std::ios::binary);
    EXPECT_EQ(1, Count(std::string(std::istreambuf_iterator<char>(in), {}), "result 0\r\n"));
}

TEST_F(Diagnostics, AFaultInTheRegistrationIsTracedAndTheErrorIsTheSequences) {
    SetEnvironmentVariableW(L"VTPI_LOG", kLog);
    spy::Scope spy(testdll::Module());
    spy::Fail("SHGetSpecialFolderLocation", spy::kAccessViolation);
    spy::Fail("OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr, 0, -1);
    EXPECT_EQ(Outcome(-1, ERROR_ACCESS_DENIED), Helper());
    const std::string log = ReadLog();
    EXPECT_EQ(1, Count(log, "tray application: stopped by an exception, ignored")) << log;
    EXPECT_EQ(1, Count(log, "client manager service: failed, error 5")) << log;
    EXPECT_EQ(1, Count(log, "result -1, error 5")) << log;
}

}  // namespace
