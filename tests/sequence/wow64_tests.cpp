// The DLL on both testbed machines: on the 64-bit one it runs in this 32-bit
// program under WoW64 and must configure the native machine; on the 32-bit
// one it must make exactly the calls it always made.
#include <gtest/gtest.h>

#include <stdio.h>

#include <fstream>
#include <sstream>

#include "base/seh.h"
#include "base/wow64.h"
#include "devices_api.h"
#include "dll.h"
#include "base/guard.h"
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

const wchar_t* const kV2090 = L"standin_veltrane_v2090.sys";
const wchar_t* const kV2105 = L"standin_veltrane_v2105.sys";
const std::wstring kTrayName = L"\\Veltrane Tray Manager\\VtTrayManager.exe";
const std::wstring kNativeTray = L"C:\\Program Files" + kTrayName;
const std::wstring kX86Tray = L"C:\\Program Files (x86)" + kTrayName;

class Wow64 : public testing::Test {
protected:
    testreg::FilterListsSnapshot lists_;
    testbed::ScratchDir install_{L"wow64"};

    void SetUp() override {
        ASSERT_EQ(testbed::OnWow64(), IsWow64()) << "the DLL's probe disagrees with the machine";
        testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());
        testbed::ClearRequests(L"Veltrane");
        testbed::ClearRequests(L"RsvLock");
        vtdev::RemoveAllDisks();
        ASSERT_EQ(0u, vtdev::AddDisk(L"W1", {L"X", L"veltrane"}));
    }
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());
        testsvc::ResetServices();
        testreg::DeleteTree(L"Software\\Tessavar");
        vtdev::RemoveAllDisks();
    }
    const wchar_t* Dir() const { return install_.path().c_str(); }
    std::string AnsiDir() const { return std::string(install_.path().begin(), install_.path().end()); }
};

// Walks the recorded calls: every file call on the system drivers folder
// happens with redirection off under WoW64, no library is loaded while it
// is off, and it is back on at the end.
void ExpectRedirectionOnlyAroundDriverFiles() {
    bool off = false;
    int fileCalls = 0;
    for (const spy::Call& c : spy::Calls()) {
        if (c.function == "Wow64DisableWow64FsRedirection") off = true;
        if (c.function == "Wow64RevertWow64FsRedirection") off = false;
        if (c.function == "LoadLibraryExW" || c.function == "FreeLibrary") {
            EXPECT_FALSE(off) << c.function << " with redirection off";
        }
        const bool onDriverFile = (c.function == "FindFirstFileW" || c.function == "CopyFileW" ||
                                   c.function == "MoveFileExW" || c.function == "DeleteFileW" ||
                                   c.function.rfind("GetFileVersionInfo", 0) == 0) &&
                                  _wcsnicmp(c.detail.c_str(), L"C:\\windows\\system32\\drivers\\", 28) == 0;
        if (onDriverFile) {
            ++fileCalls;
            EXPECT_EQ(testbed::OnWow64(), off) << c.function;
        }
    }
    EXPECT_FALSE(off);
    EXPECT_GT(fileCalls, 0);
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(Wow64, TheDriverIsFoundAndRefreshedInTheNativeSystemDirectory) {
    testbed::PlaceFile(kV2105, install_.path() + L"\\veltrane.sys");
    {
        spy::Scope spy(testdll::Module());
        EXPECT_EQ(0, testdll::Installer()(1, Dir(), 0));
        ExpectRedirectionOnlyAroundDriverFiles();
        // Presence, and the refresh.
        EXPECT_EQ(testbed::OnWow64() ? 2 : 0, spy::CountOf("Wow64DisableWow64FsRedirection"));
    }
    EXPECT_EQ(testbed::Version(2, 1, 0, 5), testbed::FileVersion(testbed::SystemDriverCopy()));
    // The 32-bit system folder never gets a driver of its own.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\windows\\syswow64\\drivers\\veltrane.sys"));
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), testbed::LockValues());

    spy::Scope spy(testdll::Module());
    EXPECT_EQ(0, testdll::Installer()(0, Dir(), 0));
    ExpectRedirectionOnlyAroundDriverFiles();
}

TEST_F(Wow64, WithoutTheNativeDriverNothingIsConfigured) {
    if (!testbed::OnWow64()) GTEST_SKIP() << "a 32-bit machine";
    // A copy in the 32-bit system folder alone does not count.
    testbed::PlaceFile(nullptr, testbed::SystemDriverCopy());
    ASSERT_TRUE(CreateDirectoryW(L"C:\\windows\\syswow64\\drivers", nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileW(testbed::Standin(kV2090).c_str(), L"C:\\windows\\syswow64\\drivers\\VELTRANE.SYS", FALSE));
    const testreg::Stored before = testreg::ReadValue(kDiskClassKey, L"UpperFilters");
    EXPECT_EQ(-1, testdll::Installer()(1, Dir(), 0));
    EXPECT_EQ(before.bytes, testreg::ReadValue(kDiskClassKey, L"UpperFilters").bytes);
    // An uninstall goes on without it.
    EXPECT_EQ(0, testdll::Helper()(AnsiDir().c_str(), 0, 0));
    DeleteFileW(L"C:\\windows\\syswow64\\drivers\\VELTRANE.SYS");
    RemoveDirectoryW(L"C:\\windows\\syswow64\\drivers");
}

TEST_F(Wow64, TheLegacyRunValueLeavesEveryRegistryView) {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        testreg::SetString(kRunKey, kLegacyRunValue, L"C:\\Program Files\\Veltrane\\VtMgrNt.exe", view);
    }
    spy::Scope spy(testdll::Module());
    EXPECT_EQ(0, testdll::Installer()(0, Dir(), 0));
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        EXPECT_FALSE(testreg::ReadValue(kRunKey, kLegacyRunValue, view).exists) << view;
    }
    std::vector<std::wstring> opened;
    for (const spy::Call& c : spy::CallsTo("RegCreateKeyExW")) {
        if (c.detail.rfind(kRunKey, 0) == 0) opened.push_back(c.detail);
    }
    const std::wstring run = kRunKey;
    const std::vector<std::wstring> expected =
        testbed::OnWow64() ? std::vector<std::wstring>{run + L" [64-bit view]", run + L" [32-bit view]"}
                           : std::vector<std::wstring>{run};
    EXPECT_EQ(expected, opened);
}

// Where the tray application is on the 64-bit machine, and the path that the
// shared-files entry and the file list then record.
TEST_F(Wow64, TheTrayApplicationIsRecordedByThePathWhereItIs) {
    if (!testbed::OnWow64()) GTEST_SKIP() << "one Program Files folder on a 32-bit machine";
    struct Case {
        const char* what;
        bool x86, native;
        const std::wstring* recorded;
        bool entry;
    };
    const Case cases[] = {
        {"32-bit folder only", true, false, &kX86Tray, true},
        {"native folder only", false, true, &kNativeTray, true},
        {"both: the 32-bit folder's", true, true, &kX86Tray, true},
        {"neither: as on a 32-bit machine", false, false, &kX86Tray, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::wstring* tray : {&kX86Tray, &kNativeTray}) {
            const bool wanted = tray == &kX86Tray ? c.x86 : c.native;
            const std::wstring folder = tray->substr(0, tray->rfind(L'\\'));
            if (wanted) {
                CreateDirectoryW(folder.c_str(), nullptr);
                ASSERT_TRUE(CopyFileW(testbed::Standin(L"VtClientManager.exe").c_str(), tray->c_str(), FALSE));
            } else {
                DeleteFileW(tray->c_str());
            }
        }
        testreg::DeleteTree(L"Software\\Tessavar");
        DeleteFileW((install_.path() + L"\\VTFILES41.LST").c_str());

        EXPECT_EQ(0, testdll::Helper()(AnsiDir().c_str(), 1, 0));

        wchar_t id[32];
        GetPrivateProfileStringW(c.recorded->c_str(), L"AppId", L"(none)", id, 32,
                                 (install_.path() + L"\\VTFILES41.LST").c_str());
        EXPECT_STREQ(L"VTDE5", id);
        const testreg::Stored path = testreg::ReadValue(L"Software\\Tessavar\\SharedFiles\\Entry1", L"Path");
        EXPECT_EQ(c.entry, path.exists);
        if (c.entry && path.exists) {
            EXPECT_STREQ(c.recorded->c_str(), reinterpret_cast<const wchar_t*>(path.bytes.data()));
        }
        // The shared-files list stays in the 32-bit view.
        EXPECT_FALSE(testreg::KeyExists(L"Software\\Tessavar") && !c.entry);
        EXPECT_FALSE(testreg::ReadValue(L"Software\\Tessavar\\SharedFiles\\Entry1", L"Path", KEY_WOW64_64KEY).exists);
    }
    // The machine as prepared: the application in the native folder only.
    CreateDirectoryW(kNativeTray.substr(0, kNativeTray.rfind(L'\\')).c_str(), nullptr);
    CopyFileW(testbed::Standin(L"VtClientManager.exe").c_str(), kNativeTray.c_str(), FALSE);
    DeleteFileW(kX86Tray.c_str());
}

TEST_F(Wow64, RedirectionComesBackWhenAFaultUnwindsPastIt) {
    if (!testbed::OnWow64()) GTEST_SKIP() << "no redirection on a 32-bit machine";
    const std::wstring installCopy = install_.path() + L"\\veltrane.sys";
    testbed::PlaceFile(kV2105, installCopy);
    HandlerRecord* const chain = HandlerChain();
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail("CopyFileW", spy::kAccessViolation);
        // The guard unwinds to itself: the redirection scope's handler runs.
        EXPECT_FALSE(RunGuarded(
            [](const void* copy) { RefreshMainDriverFile(static_cast<const wchar_t*>(copy)); }, installCopy.c_str()));
        // Off for the refresh, and back on.
        EXPECT_EQ(1, spy::CountOf("Wow64DisableWow64FsRedirection"));
        EXPECT_EQ(1, spy::CountOf("Wow64RevertWow64FsRedirection"));
        EXPECT_EQ("", spy::DescribeHeld());
    }
    EXPECT_EQ(chain, HandlerChain());
    // Redirected again: the system directory is the 32-bit one, which has no drivers.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(testbed::SystemDriverCopy().c_str()));
    EXPECT_EQ(testbed::Version(2, 0, 9, 0), testbed::FileVersion(testbed::SystemDriverCopy()));
}

// Leaves out the queries of the Windows version, which a call now makes once
// at its start rather than before each step that depends on it.
bool IsVersionQuery(const std::string& line) {
    return line.rfind("GetVersion ", 0) == 0 || line.rfind("GetVersionExW ", 0) == 0;
}

std::string WithoutVersionQueries(std::istream& in) {
    std::string out, line;
    while (std::getline(in, line)) {
        if (!IsVersionQuery(line)) out += line + '\n';
    }
    return out;
}

// The calls of an install and an uninstall through IDLL_helper, one line
// each, less the WoW64 probe that every machine now makes.
std::string RecordCalls(const std::string& dir) {
    testbed::PlaceFile(kV2105, std::wstring(dir.begin(), dir.end()) + L"\\veltrane.sys");
    std::ostringstream out;
    for (int install : {1, 0}) {
        testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());
        spy::Scope spy(testdll::Module());
        EXPECT_EQ(0, testdll::Helper()(dir.c_str(), install, 0));
        for (const spy::Call& c : spy::Calls()) {
            if (c.function == "IsWow64Process" || c.detail == L"IsWow64Process") continue;
            out << c.function << ' ' << testing::PrintToString(c.detail) << '\n';
        }
    }
    return out.str();
}

// The reference was recorded with the DLL as it was before it served
// 64-bit Windows, and again only when the disk devices' edit moved to right
// before the class list's write; VTPI_RECORD_CALLS=1 records it anew. Every call but the
// version queries must come in the same order with the same arguments.
TEST_F(Wow64, A32BitMachineMakesTheCallsItAlwaysMade) {
    if (testbed::OnWow64()) GTEST_SKIP() << "a 64-bit machine";
    const char* reference = getenv("VTPI_CALLS_REFERENCE");
    ASSERT_NE(nullptr, reference) << "VTPI_CALLS_REFERENCE names the recorded calls";
    testreg::SetString(kRunKey, kLegacyRunValue, L"x");
    testreg::SetList(kDiskClassKey, kUpperFiltersValue, {L"PartMgr"});
    testreg::SetList(kFloppyClassKey, kUpperFiltersValue, {L"Other"});
    testreg::SetList(kCrashControlKey, kDumpFiltersValue, {L"dumpfve.sys"});
    const std::string calls = RecordCalls(AnsiDir());
    if (getenv("VTPI_RECORD_CALLS")) {
        std::ofstream(reference, std::ios::binary) << calls;
        return;
    }
    std::ifstream in(reference, std::ios::binary);
    ASSERT_TRUE(in.good()) << reference;
    std::istringstream recorded(calls);
    EXPECT_EQ(WithoutVersionQueries(in), WithoutVersionQueries(recorded));
    // And nothing of WoW64's but the probe itself.
    EXPECT_EQ(std::string::npos, calls.find("Wow64"));
    EXPECT_EQ(std::string::npos, calls.find("-bit view]"));
}

}  // namespace
