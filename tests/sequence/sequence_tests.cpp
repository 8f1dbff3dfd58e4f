// VT_installer on one Windows version, given as --expect-version=NAME; the
// testbed makes this program's copy for NAME see that version. Checks which
// filter lists each direction touches, and that failures stop the sequence
// at the right step.
#include <gtest/gtest.h>

#include <string.h>

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
using testreg::List;

namespace {

struct Version {
    const char* name;
    bool nt;
    DWORD major;
    DWORD minor;
};

const Version kVersions[] = {
    {"win98", false, 4, 10}, {"nt40", true, 4, 0},  {"win2k", true, 5, 0},
    {"winxp", true, 5, 1},   {"vista", true, 6, 0}, {"win7", true, 6, 1},
    // Windows 10 reports 6.2 to a program whose manifest does not claim to
    // know it, as these test programs' do not (nor most setup programs').
    {"win10", true, 6, 2},
};

const Version* g_version = nullptr;

bool ClassListsEdited() { return g_version->nt && g_version->major >= 5; }
bool DumpListEdited() { return g_version->major >= 6; }

const wchar_t* const kInstallDir = L"C:\\Program Files\\Veltrane";

// The machine's three lists in a known state, the main driver's system copy
// at 2.0.9.0 and no disk devices; put back afterwards.
class Sequence : public testing::Test {
protected:
    testreg::FilterListsSnapshot lists_;

    void SetUp() override {
        testreg::SetList(kDiskClassKey, kUpperFiltersValue, {L"PartMgr", L"veltrane"});
        testreg::DeleteValue(kFloppyClassKey, kUpperFiltersValue);
        testreg::SetList(kCrashControlKey, kDumpFiltersValue, {L"dumpfve.sys"});
        testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());
        testbed::ClearRequests(L"Veltrane");
        testbed::ClearRequests(L"RsvLock");
        vtdev::RemoveAllDisks();
    }
    void TearDown() override {
        testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());
        vtdev::RemoveAllDisks();
        if (testsvc::Exists(kClientManagerService) || !testsvc::Exists(kLegacyService)) {
            testsvc::ResetServices();
        }
    }

    int Run(int install, const wchar_t* dir = kInstallDir, int reserved = 0) {
        return testdll::Installer()(install, dir, reserved);
    }

    struct Lists {
        testreg::Stored disk, floppy, dump;
        bool operator==(const Lists& o) const {
            auto same = [](const testreg::Stored& a, const testreg::Stored& b) {
                return a.exists == b.exists && a.type == b.type && a.bytes == b.bytes;
            };
            return same(disk, o.disk) && same(floppy, o.floppy) && same(dump, o.dump);
        }
    };
    Lists Read() {
        return {testreg::ReadValue(kDiskClassKey, kUpperFiltersValue),
                testreg::ReadValue(kFloppyClassKey, kUpperFiltersValue),
                testreg::ReadValue(kCrashControlKey, kDumpFiltersValue)};
    }
};

TEST(Testbed, ThisProgramSeesTheExpectedVersion) {
    ASSERT_NE(nullptr, g_version) << "run with --expect-version=NAME";
    const DWORD v = GetVersion();
    EXPECT_EQ(!g_version->nt, (v & 0x80000000u) != 0);
    EXPECT_EQ(g_version->major, v & 0xFF);
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(g_version->major, info.dwMajorVersion);
    EXPECT_EQ(g_version->minor, info.dwMinorVersion);
}

TEST_F(Sequence, InstallAndUninstallEditTheListsOfThisVersionAndConverge) {
    const Lists before = Read();
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass ? "second install" : "first install");
        EXPECT_EQ(0, Run(1, kInstallDir, 0x5A5A5A5A));
        if (ClassListsEdited()) {
            EXPECT_EQ((List{L"VELTRANE", L"PartMgr"}), testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
            EXPECT_EQ(List{L"VTFLOP"}, testreg::ReadList(kFloppyClassKey, kUpperFiltersValue));
        }
        if (DumpListEdited()) {
            EXPECT_EQ((List{L"VtHiber.sys", L"dumpfve.sys"}), testreg::ReadList(kCrashControlKey, kDumpFiltersValue));
        }
    }
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass ? "second uninstall" : "first uninstall");
        EXPECT_EQ(0, Run(0));
        if (ClassListsEdited()) {
            EXPECT_EQ(List{L"PartMgr"}, testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
            // Uninstall leaves an empty list where there was none.
            EXPECT_EQ(List{}, testreg::ReadList(kFloppyClassKey, kUpperFiltersValue));
        }
        if (DumpListEdited()) {
            EXPECT_EQ(List{L"dumpfve.sys"}, testreg::ReadList(kCrashControlKey, kDumpFiltersValue));
        }
    }
    const Lists after = Read();
    if (!ClassListsEdited()) {
        EXPECT_TRUE(before.disk.bytes == after.disk.bytes && before.floppy.exists == after.floppy.exists);
    }
    if (!DumpListEdited()) {
        EXPECT_EQ(before.dump.bytes, after.dump.bytes);
    }
}

TEST_F(Sequence, SystemsBeforeWindows2000OpenNoFilterList) {
    if (ClassListsEdited()) GTEST_SKIP() << "Windows 2000 or later";
    spy::Scope spy(testdll::Module());
    EXPECT_EQ(0, Run(1));
    EXPECT_EQ(0, Run(0));
    // Only the driver's service key is looked at, and SETUPAPI is not loaded.
    for (const char* call : {"RegOpenKeyW", "RegQueryValueExW", "RegSetValueExW"}) {
        EXPECT_EQ(0, spy::CountOf(call)) << call;
    }
    for (const spy::Call& c : spy::CallsTo("LoadLibraryExW")) {
        EXPECT_EQ(std::wstring::npos, c.detail.find(L"SETUPAPI")) << c.detail;
    }
    EXPECT_EQ(2, spy::CountOf("RegOpenKeyExW"));
}

TEST_F(Sequence, AbsentAndLongDiskClassListsAreHandledWhole) {
    if (!ClassListsEdited()) GTEST_SKIP() << "no class lists before Windows 2000";
    testreg::DeleteValue(kDiskClassKey, kUpperFiltersValue);
    EXPECT_EQ(0, Run(0));
    EXPECT_EQ(2u, testreg::ReadValue(kDiskClassKey, kUpperFiltersValue).bytes.size());

    // About 3,000 bytes: more than the first read takes in.
    List many;
    for (int i = 0; i < 150; ++i) many.push_back(L"Filter" + std::to_wstring(10000 + i));
    List stored = many;
    stored.push_back(L"Veltrane");
    testreg::SetList(kDiskClassKey, kUpperFiltersValue, stored);
    ASSERT_GT(testreg::ReadValue(kDiskClassKey, kUpperFiltersValue).bytes.size(), 3000u);
    EXPECT_EQ(0, Run(1));
    List expected = many;
    expected.insert(expected.begin(), L"VELTRANE");
    EXPECT_EQ(expected, testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
}

// Only an absolute directory of at most the documented length is accepted:
// anything else would resolve against the setup program's current folder.
TEST_F(Sequence, ADirectoryThatIsNullTooLongOrNotAbsoluteChangesNothing) {
    const Lists before = Read();
    const std::wstring longest = L"C:\\" + std::wstring(VTPI_MAX_INSTALL_DIR - 3, L'd');
    const std::wstring tooLong = longest + L"d";
    const std::wstring tooLongNested = tooLong + L"\\more";
    const wchar_t* const refused[] = {
        nullptr, tooLong.c_str(), tooLongNested.c_str(), L"", L"Veltrane", L".\\Veltrane",
        L"\\Program Files\\Veltrane", L"C:Veltrane", L"C:", L"1:\\Veltrane", L"\\\\", L"\\\\server",
        L"\\\\server\\", L"\\\\\\share", L"C:/Program Files/Veltrane",
    };
    for (int install : {1, 0}) {
        spy::Scope spy(testdll::Module());
        for (const wchar_t* dir : refused) {
            EXPECT_EQ(-1, Run(install, dir)) << (dir ? testing::PrintToString(std::wstring(dir)) : "null");
        }
        EXPECT_TRUE(spy::Calls().empty()) << spy::Calls().front().function;
    }
    EXPECT_TRUE(before == Read());
    ASSERT_TRUE(CreateDirectoryW(longest.c_str(), nullptr));  // an install needs a folder
    EXPECT_EQ(0, Run(1, longest.c_str()));
    RemoveDirectoryW(longest.c_str());
    EXPECT_EQ(0, Run(1, L"c:\\testbed"));
    // A UNC directory is absolute: the sequence runs, an uninstall whether or not it exists.
    EXPECT_EQ(0, Run(1, L"\\\\Veltrane\\Vtfs"));
    EXPECT_EQ(0, Run(0, L"\\\\server\\share"));
}

// A disk keeps its filter on one list or the other whatever fails: its own
// list is edited only once the class list has been read, and given back
// when the class list cannot be written.
TEST_F(Sequence, FailuresInTheDiskClassStepStopTheSequenceAndLeaveEveryDiskItsFilter) {
    if (!ClassListsEdited()) GTEST_SKIP() << "no class lists before Windows 2000";
    ASSERT_EQ(0u, vtdev::AddDisk(L"KEEP", {L"X", L"veltrane"}));
    const vtdev::Stored device = vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(L"KEEP"));
    struct Fault {
        const char* function;
        const wchar_t* detail;
        bool refreshed;  // the driver refresh ran, before the class list's read
        int writes;      // attempts to write the class list
    };
    const Fault faults[] = {
        {"RegOpenKeyW", kDiskClassKey, false, 0},           // class key not openable
        {"RegQueryValueExW", kUpperFiltersValue, true, 0},  // list not readable: only the write is skipped
        {"RegSetValueExW", kUpperFiltersValue, true, 1},    // write refused: the device gets its list back
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.function);
        const Lists before = Read();
        spy::Scope spy(testdll::Module());
        spy::Fail(f.function, ERROR_ACCESS_DENIED, f.detail);
        EXPECT_EQ(-1, Run(1));
        EXPECT_TRUE(before == Read());
        EXPECT_EQ(device.bytes, vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(L"KEEP")).bytes);
        EXPECT_EQ(f.refreshed ? 1 : 0, spy::CountOf("CopyFileW"));
        int writes = 0;
        for (const spy::Call& c : spy::CallsTo("RegSetValueExW")) writes += c.detail == kUpperFiltersValue;
        EXPECT_EQ(f.writes, writes);
        EXPECT_EQ("", spy::DescribeHeld());
    }
}

TEST_F(Sequence, TheDumpFilterStepDecidesTheResultOnVistaAndLater) {
    if (!DumpListEdited()) GTEST_SKIP() << "no crash-dump filters before Vista";
    {
        spy::Scope spy(testdll::Module());
        spy::Fail("RegSetValueExW", ERROR_ACCESS_DENIED, kDumpFiltersValue);
        EXPECT_EQ(-1, Run(1));
        EXPECT_EQ(List{L"dumpfve.sys"}, testreg::ReadList(kCrashControlKey, kDumpFiltersValue));
        // The floppy write's refusal does not matter.
        testreg::DeleteValue(kFloppyClassKey, kUpperFiltersValue);
        spy::Clear();
        spy::Fail("RegSetValueExW", ERROR_ACCESS_DENIED, nullptr, 1);
        EXPECT_EQ(0, Run(1));
        EXPECT_FALSE(testreg::ReadValue(kFloppyClassKey, kUpperFiltersValue).exists);
    }
    // Without the CrashControl key both directions fail and create nothing.
    testreg::KeySnapshot crash(kCrashControlKey);
    testreg::DeleteTree(kCrashControlKey);
    EXPECT_EQ(-1, Run(1));
    EXPECT_EQ(-1, Run(0));
    EXPECT_FALSE(testreg::KeyExists(kCrashControlKey));
}

// The install copy is newer than the system copy: on install the refresh
// and the compression request come before the class list's read, and a disk
// loses its filter right before the class list's write.
TEST_F(Sequence, InstallRefreshesTheDriverBeforeTheClassListAndEditsDisksRightBeforeItsWrite) {
    ASSERT_EQ(0u, vtdev::AddDisk(L"ORDER", {L"veltrane"}));
    testbed::ScratchDir install(L"install");
    testbed::PlaceFile(L"standin_veltrane_v2105.sys", install.path() + L"\\veltrane.sys");
    spy::Scope spy(testdll::Module());
    EXPECT_EQ(0, Run(1, install.path().c_str()));

    std::vector<std::wstring> seen;
    for (const spy::Call& c : spy::Calls()) {
        if (c.function == "DeviceIoControl") seen.push_back(L"request " + c.detail);
        if (c.function == "CopyFileW") seen.push_back(L"copy");
        if (c.function == "MoveFileExW") seen.push_back(L"move");
        if (c.function == "SetupDiSetDeviceRegistryPropertyW") seen.push_back(L"edit disk");
        if (c.function == "LoadLibraryExW") {
            seen.push_back(c.detail.find(L"SETUPAPI") != std::wstring::npos ? L"load setupapi" : L"load version");
        }
        if (c.function == "RegQueryValueExW" || c.function == "RegSetValueExW") {
            seen.push_back((c.function[3] == 'Q' ? L"read " : L"write ") + c.detail);
        }
    }
    std::vector<std::wstring> refresh = {L"load version", L"copy", L"request 002220CC 00000000", L"move",
                                         L"request 002220CC 01000000", L"request 0009C040 0000"};
    std::vector<std::wstring> expected;
    if (ClassListsEdited()) {
        expected = refresh;
        expected.insert(expected.end(), {L"read UpperFilters", L"load setupapi", L"edit disk", L"write UpperFilters",
                                         L"read UpperFilters", L"write UpperFilters"});
    } else if (g_version->nt) {
        expected = refresh;  // NT 4.0: the driver is refreshed, no list is edited
    }
    if (DumpListEdited()) expected.insert(expected.end(), {L"read DumpFilters", L"write DumpFilters"});
    EXPECT_EQ(expected, seen);

    const bool refreshed = g_version->nt;
    EXPECT_EQ(refreshed ? std::vector<uint32_t>({0, 1}) : std::vector<uint32_t>(), testbed::LockValues());
    EXPECT_EQ(refreshed ? testbed::Version(2, 1, 0, 5) : testbed::Version(2, 0, 9, 0),
              testbed::FileVersion(testbed::SystemDriverCopy()));
    const std::vector<testbed::Request> compression = {{0x0009C040, {0, 0}}};
    EXPECT_EQ(refreshed ? compression : std::vector<testbed::Request>(), testbed::Requests(L"Veltrane"));

    // Uninstall leaves the driver file and both devices alone, and deletes a
    // staged copy that a call ended midway left behind.
    testbed::ClearRequests(L"Veltrane");
    testbed::ClearRequests(L"RsvLock");
    testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());
    testbed::PlaceFile(L"standin_veltrane_v2105.sys", testbed::SystemDriverCopy() + kStagedSuffix);
    EXPECT_EQ(0, Run(0, install.path().c_str()));
    EXPECT_EQ(!g_version->nt, testbed::FileExists(testbed::SystemDriverCopy() + kStagedSuffix));
    EXPECT_TRUE(testbed::Requests(L"Veltrane").empty());
    EXPECT_TRUE(testbed::Requests(L"RsvLock").empty());
    EXPECT_EQ(testbed::Version(2, 0, 9, 0), testbed::FileVersion(testbed::SystemDriverCopy()));
}

// A newer driver built for another processor: the lists are done all the
// same, the system copy stays, and the install answers -1 with 193.
TEST_F(Sequence, ADriverForAnotherProcessorFailsTheInstallOnceTheListsAreDone) {
    testbed::ScratchDir install(L"install");
    testbed::PlaceFile(nullptr, testbed::SystemDriverCopy() + kStagedSuffix);
    testbed::PlaceFile(testbed::OnWow64() ? L"standin_veltrane_x86.sys" : L"standin_veltrane_x64.sys",
                       install.path() + L"\\veltrane.sys");
    EXPECT_EQ(g_version->nt ? -1 : 0, Run(1, install.path().c_str()));
    EXPECT_EQ(g_version->nt ? static_cast<DWORD>(ERROR_BAD_EXE_FORMAT) : 0u, GetLastError());
    if (ClassListsEdited()) {
        EXPECT_EQ((List{L"VELTRANE", L"PartMgr"}), testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
    }
    EXPECT_EQ(testbed::Version(2, 0, 9, 0), testbed::FileVersion(testbed::SystemDriverCopy()));
    EXPECT_FALSE(testbed::FileExists(testbed::SystemDriverCopy() + kStagedSuffix));
}

// Without the main driver (file or service key) on a configured machine an
// install fails before any list; an uninstall still runs whole, so that no
// list keeps naming a filter whose driver is gone, and answers 0.
TEST_F(Sequence, WithoutTheMainDriverAnInstallFailsBeforeAnyListAndAnUninstallStillRunsWhole) {
    ASSERT_EQ(0u, vtdev::AddDisk(L"D1", {}));
    for (bool noFile : {true, false}) {
        SCOPED_TRACE(noFile ? "no driver file" : "no service key");
        ASSERT_EQ(0, Run(1));
        ASSERT_EQ(0u, vtdev::SetUpperFilters(L"D1", {L"X", L"veltrane"}));
        const Lists configured = Read();
        if (noFile) testbed::PlaceFile(nullptr, testbed::SystemDriverCopy());
        spy::Scope spy(testdll::Module());
        if (!noFile) spy::Fail("RegOpenKeyExW", ERROR_FILE_NOT_FOUND, kMainDriverServiceKey);
        EXPECT_EQ(-1, Run(1));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
        EXPECT_EQ(0, spy::CountOf("RegOpenKeyW"));
        EXPECT_TRUE(configured == Read());

        EXPECT_EQ(0, Run(0));
        if (ClassListsEdited()) {
            EXPECT_EQ(List{L"PartMgr"}, testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
            EXPECT_EQ(testreg::MultiSzBytes({L"X"}), vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(L"D1")).bytes);
        }
        if (DumpListEdited()) {
            EXPECT_EQ(List{L"dumpfve.sys"}, testreg::ReadList(kCrashControlKey, kDumpFiltersValue));
        }
        EXPECT_TRUE(testsvc::WaitUntilGone(kClientManagerService));
        EXPECT_EQ("", spy::DescribeHeld());
        testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());
    }
}

TEST_F(Sequence, DiskDevicesLoseTheFilterInBothDirections) {
    ASSERT_EQ(0u, vtdev::AddDisk(L"D1", {L"X", L"veltrane"}));
    for (int install : {1, 0}) {
        ASSERT_EQ(0u, vtdev::SetUpperFilters(L"D1", {L"X", L"veltrane"}));
        EXPECT_EQ(0, Run(install));
        const vtdev::Stored stored = vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(L"D1"));
        const std::vector<BYTE> untouched = testreg::MultiSzBytes({L"X", L"veltrane"});
        EXPECT_EQ(ClassListsEdited() ? testreg::MultiSzBytes({L"X"}) : untouched, stored.bytes);
    }
}

TEST_F(Sequence, UnreachableSetupApiFailsTheSequenceBeforeAnyListIsWritten) {
    if (!ClassListsEdited()) GTEST_SKIP() << "no device cleanup before Windows 2000";
    ASSERT_EQ(0u, vtdev::AddDisk(L"E1", {L"VELTRANE"}));
    const Lists before = Read();
    struct Fault {
        const char* function;
        const wchar_t* detail;
    };
    wchar_t setupApi[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(setupApi, MAX_PATH));
    wcscat(setupApi, L"\\SETUPAPI.DLL");
    const Fault faults[] = {{"LoadLibraryExW", setupApi}, {"GetProcAddress", L"SetupDiEnumDeviceInfo"}};
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.function);
        spy::Scope spy(testdll::Module());
        spy::Fail(f.function, ERROR_MOD_NOT_FOUND, f.detail);
        EXPECT_EQ(-1, Run(1));
        // The class list was read, not written.
        int writes = 0;
        for (const spy::Call& c : spy::CallsTo("RegSetValueExW")) writes += c.detail == kUpperFiltersValue;
        EXPECT_EQ(0, writes);
        EXPECT_EQ("", spy::DescribeHeld());
    }
    EXPECT_TRUE(before == Read());
    EXPECT_EQ(testreg::MultiSzBytes({L"VELTRANE"}), vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(L"E1")).bytes);
}

TEST_F(Sequence, InstallRegistersTheClientManagerAndUninstallRemovesIt) {
    testreg::SetString(kRunKey, kLegacyRunValue, L"x");
    EXPECT_EQ(0, Run(1));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), testsvc::State(kClientManagerService));
    // A second install finds the service there and still succeeds.
    EXPECT_EQ(0, Run(1));
    EXPECT_EQ(0, Run(0));
    EXPECT_TRUE(testsvc::WaitUntilGone(kClientManagerService));
    EXPECT_EQ(0, Run(0));
    // The legacy step removes the autorun value on the NT family only.
    EXPECT_EQ(!g_version->nt, testreg::ReadValue(kRunKey, kLegacyRunValue).exists);
    testreg::DeleteValue(kRunKey, kLegacyRunValue);
}

TEST_F(Sequence, WithoutTheServiceControlManagerTheSequenceStopsAtTheClientManager) {
    const Lists before = Read();
    for (int install : {1, 0}) {
        spy::Scope spy(testdll::Module());
        spy::Fail("OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr, 0, -1);
        EXPECT_EQ(-1, Run(install));
        // The steps before it ran; the crash-dump list after it was not touched.
        EXPECT_EQ(ClassListsEdited() ? 2 : 0, spy::CountOf("RegSetValueExW"));
        // The legacy Run value goes from each registry view there is.
        EXPECT_EQ(g_version->nt ? (testbed::OnWow64() ? 2 : 1) : 0, spy::CountOf("RegDeleteValueW"));
        EXPECT_EQ("", spy::DescribeHeld());
        EXPECT_EQ(before.dump.bytes, Read().dump.bytes);
    }
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const char* prefix = "--expect-version=";
        if (strncmp(argv[i], prefix, strlen(prefix)) != 0) continue;
        for (const Version& v : kVersions) {
            if (strcmp(argv[i] + strlen(prefix), v.name) == 0) g_version = &v;
        }
    }
    if (!g_version) {
        fprintf(stderr, "usage: %s --expect-version=win98|nt40|win2k|winxp|vista|win7|win10\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
