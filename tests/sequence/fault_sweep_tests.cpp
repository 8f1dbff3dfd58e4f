// A fault sweep over everything an install and an uninstall call: each
// distinct platform call the DLL makes is failed in turn, and after every
// run the result must be the one that failure calls for, no list may be left
// truncated, partial or emptied, a success must mean every gating change was
// made, and everything the DLL acquired must have been released.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

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

const std::wstring kTray = L"C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe";
const wchar_t* const kEntry = L"Software\\Tessavar\\SharedFiles\\Entry1";
const std::wstring kDevice = L"SWEEP";

// Calls whose failure the platform does not report, or that release what
// was acquired (a failed release would only mislead the resource count).
const std::set<std::string> kNotFailed = {
    "GetVersion", "GetVersionExW", "GetSystemDefaultLangID", "GetKeyboardLayout", "Sleep",
    "RegCloseKey", "CloseHandle", "FindClose", "HeapFree", "CloseServiceHandle",
    "IMalloc::Free", "IMalloc::Release", "ILFree", "SetupDiDestroyDeviceInfoList",
    "Wow64RevertWow64FsRedirection", "FreeLibrary",
};

// A realistic error for a failing call of each kind.
DWORD ErrorFor(const std::string& function) {
    if (function == "HeapAlloc") return ERROR_NOT_ENOUGH_MEMORY;
    if (function == "LoadLibraryExW") return ERROR_MOD_NOT_FOUND;
    if (function == "GetProcAddress") return ERROR_PROC_NOT_FOUND;
    if (function == "IsWow64Process" || function == "Wow64DisableWow64FsRedirection") return ERROR_INVALID_FUNCTION;
    if (function == "CopyFileW" || function == "MoveFileExW") return ERROR_SHARING_VIOLATION;
    if (function == "DeviceIoControl") return ERROR_INVALID_FUNCTION;
    if (function.rfind("GetFileVersionInfo", 0) == 0 || function == "VerQueryValueW") return ERROR_RESOURCE_DATA_NOT_FOUND;
    if (function == "RegQueryValueExW" || function == "RegOpenKeyW" || function == "RegOpenKeyExW") return ERROR_ACCESS_DENIED;
    return ERROR_ACCESS_DENIED;
}

struct Site;
bool FailsTheCall(const Site& site, bool install);

struct Site {
    std::string function;
    std::wstring detail;
    int skip;  // earlier calls of the function with the same detail
    bool operator<(const Site& o) const {
        return std::tie(function, detail, skip) < std::tie(o.function, o.detail, o.skip);
    }
};

bool EndsWith(const std::wstring& s, const std::wstring& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether a failure of this call must make the call return -1: the steps
// that gate the sequence are the install folder's look, the call lock's
// wait, the driver's presence (on install), the reading of the staged
// driver's machine type, the device cleanup's set-up, the disk class list,
// the service control manager and the registration of the client manager,
// and the crash-dump list. Every other failure is absorbed.
bool FailsTheCall(const Site& site, bool install) {
    const std::string& f = site.function;
    const std::wstring& d = site.detail;
    const std::wstring staged = testbed::SystemDriverCopy() + kStagedSuffix;
    // Under WoW64 the driver's presence needs the native system directory:
    // the WoW64 probe, and the lookups and call that turn redirection off,
    // gate there. The tray registration probes first (the application is in
    // the native Program Files folder), so the presence check's probe is the
    // second; the refresh's is the third, and the fourth tells the native
    // processor. On a 32-bit machine a failed probe changes nothing.
    if (f == "IsWow64Process" || (f == "GetProcAddress" && d == L"IsWow64Process")) {
        return testbed::OnWow64() && install && (site.skip == 1 || site.skip == 3);
    }
    if (f == "Wow64DisableWow64FsRedirection" || (f == "GetProcAddress" && d.rfind(L"Wow64", 0) == 0)) {
        return install && site.skip == 0;
    }
    // SETUPAPI gates the device cleanup; VERSION only serves the driver refresh.
    if (f == "LoadLibraryExW") return EndsWith(d, L"\\SETUPAPI.DLL");
    if (f == "GetProcAddress") return d.rfind(L"SetupDi", 0) == 0;
    if (f == "SetupDiGetClassDevsW") return true;
    // The presence test's and SETUPAPI's, which on install comes after the
    // driver refresh's and VERSION's, which do not gate.
    if (f == "GetSystemDirectoryW") return install ? (site.skip == 0 || site.skip == 3) : site.skip == 1;
    if (f == "FindFirstFileW") return install && EndsWith(d, L"\\drivers\\veltrane.sys");
    // An install looks at its folder first: one it cannot see is refused. A
    // staged driver whose machine type cannot be read is not installed.
    if (f == "CreateFileW") return install && (d == L"C:\\testbed\\sweep" || (d == staged && site.skip == 0));
    if (f == "ReadFile") return install;
    // A client manager that cannot be registered fails the install, and a
    // call lock held past the wait's bound fails the call.
    if (f == "CreateServiceW" || f == "WaitForSingleObject") return true;
    if (f == "RegOpenKeyExW") return install && d == kMainDriverServiceKey;
    if (f == "RegOpenKeyW") return d == kDiskClassKey || d == kCrashControlKey;
    // The disk class list comes before the floppy class list.
    if (f == "RegQueryValueExW" || f == "RegSetValueExW") {
        return (d == kUpperFiltersValue && site.skip == 0) || d == kDumpFiltersValue;
    }
    // The legacy service's check opens the manager first.
    if (f == "OpenSCManagerW") return site.skip == 1;
    // Heap blocks in order: the id list, on install two version resources,
    // the disk class list, the device's list and its kept copy, the floppy
    // list, the dump list.
    if (f == "HeapAlloc") return install ? (site.skip == 3 || site.skip == 7) : (site.skip == 1 || site.skip == 5);
    return false;
}

class FaultSweep : public testing::Test {
protected:
    testreg::FilterListsSnapshot lists_;
    testbed::ScratchDir install_{L"sweep"};

    const List diskBefore_ = {L"PartMgr", L"veltrane"}, diskAfter_ = {L"VELTRANE", L"PartMgr"};
    const List floppyBefore_ = {L"Other", L"vtflop"}, floppyAfter_ = {L"VTFLOP", L"Other"};
    const List dumpBefore_ = {L"dumpfve.sys", L"VTHIBER.SYS"}, dumpAfter_ = {L"VtHiber.sys", L"dumpfve.sys"};

    void SetUp() override {
        testbed::PlaceFile(L"standin_veltrane_v2105.sys", install_.path() + L"\\veltrane.sys");
        vtdev::RemoveAllDisks();
        ASSERT_EQ(0u, vtdev::AddDisk(kDevice));
    }
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        vtdev::RemoveAllDisks();
        testsvc::ResetServices();
        testreg::DeleteTree(L"Software\\Tessavar");
        testreg::DeleteValue(kRunKey, kLegacyRunValue);
        testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());
    }

    // Every place the call may change, as before the install (or the
    // uninstall, after a complete install).
    void Prepare(bool install) {
        testreg::SetList(kDiskClassKey, kUpperFiltersValue, install ? diskBefore_ : diskAfter_);
        testreg::SetList(kFloppyClassKey, kUpperFiltersValue, install ? floppyBefore_ : floppyAfter_);
        testreg::SetList(kCrashControlKey, kDumpFiltersValue, install ? dumpBefore_ : dumpAfter_);
        ASSERT_EQ(0u, vtdev::SetUpperFilters(kDevice, {L"X", L"veltrane"}));
        testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());
        testsvc::ResetServices();
        if (!install) {
            ASSERT_EQ(0u, InstallClientManager(testbed::InstallPathsFor(install_.path())));
        }
        testreg::SetString(kRunKey, kLegacyRunValue, L"x");
        testreg::DeleteTree(L"Software\\Tessavar");
        testreg::SetString(kEntry, L"Path", kTray);
        testreg::SetList(kEntry, L"AppIds", {L"APP1"});
    }

    int Run(bool install) {
        const std::string dir = "C:\\testbed\\sweep";
        return testdll::Helper()(dir.c_str(), install ? 1 : 0, 0);
    }

    // What must hold after any run, faulted or not.
    void CheckInvariants(bool install, int result) {
        EXPECT_TRUE(result == 0 || result == -1) << result;
        EXPECT_EQ("", spy::DescribeHeld());
        const List disk = testreg::ReadList(kDiskClassKey, kUpperFiltersValue);
        const List floppy = testreg::ReadList(kFloppyClassKey, kUpperFiltersValue);
        const List dump = testreg::ReadList(kCrashControlKey, kDumpFiltersValue);
        const List& diskDone = install ? diskAfter_ : List{L"PartMgr"};
        const List& floppyDone = install ? floppyAfter_ : List{L"Other"};
        const List& dumpDone = install ? dumpAfter_ : List{L"dumpfve.sys"};
        const List& diskStart = install ? diskBefore_ : diskAfter_;
        EXPECT_TRUE(disk == diskStart || disk == diskDone);
        EXPECT_TRUE(floppy == (install ? floppyBefore_ : floppyAfter_) || floppy == floppyDone);
        EXPECT_TRUE(dump == (install ? dumpBefore_ : dumpAfter_) || dump == dumpDone);
        const Bytes device = vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(kDevice)).bytes;
        EXPECT_TRUE(device == testreg::MultiSzBytes({L"X", L"veltrane"}) || device == testreg::MultiSzBytes({L"X"}));
        const List ids = testreg::ReadList(kEntry, L"AppIds");
        EXPECT_TRUE(ids == List{L"APP1"} || ids == (List{L"APP1", L"VTDE5"}));
        // The driver's system copy is the old one or the new one, whole, and
        // nothing staged remains.
        const uint64_t driver = testbed::FileVersion(testbed::SystemDriverCopy());
        EXPECT_TRUE(driver == testbed::Version(2, 0, 9, 0) || (install && driver == testbed::Version(2, 1, 0, 5)));
        EXPECT_FALSE(testbed::FileExists(testbed::SystemDriverCopy() + kStagedSuffix));
        if (result == 0) {
            // Success means every gating list edit was made. (A service that
            // could not be opened or deleted does not fail the call.)
            EXPECT_EQ(diskDone, disk);
            EXPECT_EQ(dumpDone, dump);
        }
    }

    using Bytes = std::vector<BYTE>;

    // Every distinct call (function and detail) of one clean run, each with
    // each of its occurrences.
    std::vector<Site> Record(bool install) {
        Prepare(install);
        spy::Scope spy(testdll::Module());
        EXPECT_EQ(0, Run(install));
        CheckInvariants(install, 0);
        std::set<Site> sites;
        std::map<std::pair<std::string, std::wstring>, int> seen;
        for (const spy::Call& c : spy::Calls()) {
            if (kNotFailed.count(c.function)) continue;
            sites.insert({c.function, c.detail, seen[{c.function, c.detail}]++});
        }
        return std::vector<Site>(sites.begin(), sites.end());
    }

    static int FailureCount() {
        return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    }

    void Sweep(bool install) {
        const std::vector<Site> sites = Record(install);
        int survived = 0;
        for (const Site& site : sites) {
            SCOPED_TRACE(site.function + " #" + std::to_string(site.skip + 1) + " " +
                         testing::PrintToString(site.detail));
            Prepare(install);
            spy::Scope spy(testdll::Module());
            spy::Fail(site.function.c_str(), ErrorFor(site.function), site.detail.empty() ? nullptr : site.detail.c_str(),
                      site.skip);
            const int result = Run(install);
            const int failuresBefore = FailureCount();
            EXPECT_EQ(FailsTheCall(site, install) ? -1 : 0, result);
            CheckInvariants(install, result);
            if (FailureCount() == failuresBefore) ++survived;
        }
        printf("%s: %zu call sites swept, %d faults survived\n", install ? "install" : "uninstall", sites.size(),
               survived);
        RecordProperty(install ? "install_sites" : "uninstall_sites", static_cast<int>(sites.size()));
    }
};

TEST_F(FaultSweep, EveryFailedCallDuringAnInstallLeavesTheMachineConsistent) { Sweep(true); }

TEST_F(FaultSweep, EveryFailedCallDuringAnUninstallLeavesTheMachineConsistent) { Sweep(false); }

}  // namespace
