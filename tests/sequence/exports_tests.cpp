// The exports through the DLL: IDLL_helper's directory, the access every
// open asks for, and the guard around the tray application's recording.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "base/machine_lock.h"
#include "dll.h"
#include "registry.h"
#include "services.h"
#include "spy.h"
#include "steps/client_manager.h"
#include "steps/disk_filter.h"
#include "testbed.h"

using namespace vtpi;

namespace {

// The machine state that a whole install or uninstall changes, put back.
class Helper : public testing::Test {
protected:
    testreg::FilterListsSnapshot lists_;
    testbed::ScratchDir ansi_{L"ansi"};

    void TearDown() override {
        spy::Detach();
        spy::Clear();
        testsvc::ResetServices();
        testreg::DeleteTree(L"Software\\Tessavar");
        SetEnvironmentVariableW(L"VTPI_LOG", nullptr);
    }
    static int Run(const std::string& dir, int install) { return testdll::Helper()(dir.c_str(), install, 0x77); }
    static std::wstring ListedId(const std::wstring& dir) {
        wchar_t value[64];
        GetPrivateProfileStringW(L"C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe", L"AppId",
                                 L"(missing)", value, 64, (dir + L"\\VTFILES41.LST").c_str());
        return value;
    }
};

TEST_F(Helper, BytesAbove127ArriveAsTheUnitsOfTheSameValue) {
    // 0x80 is the euro sign (U+20AC) in the ANSI code page, U+0080 here.
    const std::wstring wide = ansi_.path() + L"\\\u0080";
    ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr));
    const std::string narrow = "C:\\testbed\\ansi\\\x80";
    EXPECT_EQ(0, Run(narrow, 1));
    EXPECT_EQ(L"VTDE5", ListedId(wide));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), testsvc::State(kClientManagerService));

    // The uninstall flag runs the uninstall sequence after the same registration.
    DeleteFileW((wide + L"\\VTFILES41.LST").c_str());
    EXPECT_EQ(0, Run(narrow, 0));
    EXPECT_EQ(L"VTDE5", ListedId(wide));
    EXPECT_TRUE(testsvc::WaitUntilGone(kClientManagerService));
    EXPECT_EQ(testreg::List{L"PartMgr"}, testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
}

// Refused before the registration too, with error 87: nothing is recorded
// anywhere.
TEST_F(Helper, AnUnusableDirectoryChangesNothing) {
    spy::Scope spy(testdll::Module());
    EXPECT_EQ(-1, testdll::Helper()(nullptr, 1, 0));
    EXPECT_EQ(-1, Run("C:\\" + std::string(VTPI_MAX_INSTALL_DIR - 2, 'd'), 1));
    EXPECT_EQ(-1, Run(std::string(260, 'd'), 0));
    for (const char* refused : {"", "ansi", "C:ansi", "\\testbed\\ansi", "C:\\testbed\\ansi\" -evil \"x",
                                "\\\\.\\RSVLOCK", "\\\\?\\C:\\testbed\\ansi"}) {
        for (int install : {1, 0}) {
            SetLastError(0xDEAD);
            EXPECT_EQ(-1, Run(refused, install)) << refused;
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << refused;
        }
    }
    EXPECT_TRUE(spy::Calls().empty());
}

// What a call that changed nothing has not called.
void ExpectNothingChanged() {
    for (const char* change : {"RegSetValueExW", "RegCreateKeyExW", "CreateServiceW", "OpenSCManagerW", "DeleteFileW",
                               "CopyFileW", "WritePrivateProfileStringW", "SetupDiSetDeviceRegistryPropertyW",
                               "DeviceIoControl"}) {
        EXPECT_EQ(0, spy::CountOf(change)) << change;
    }
}

// An install takes its service and its boot driver from the folder: one that
// is not an existing folder is refused with error 3 before anything changes,
// as is an ANSI name that, widened byte by byte, names no folder (here the
// two bytes of a character in code page 932). An uninstall runs without it.
TEST_F(Helper, AnInstallRefusesWhatIsNotAnExistingFolderAndAnUninstallRunsWithout) {
    CloseHandle(CreateFileW((ansi_.path() + L"\\a-file").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(CreateDirectoryW((ansi_.path() + L"\\\u3042").c_str(), nullptr));  // 82 A0 in code page 932
    spy::Scope spy(testdll::Module());
    for (const char* refused : {"C:\\testbed\\ansi\\missing", "C:\\testbed\\ansi\\a-file", "C:\\testbed\\ansi\\\x82\xA0"}) {
        SCOPED_TRACE(refused);
        const std::wstring wide(refused, refused + strlen(refused));
        SetLastError(0xDEAD);
        EXPECT_EQ(-1, Run(refused, 1));
        EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
        EXPECT_EQ(-1, testdll::Installer()(1, wide.c_str(), 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    }
    ExpectNothingChanged();
    EXPECT_EQ(0, Run("C:\\testbed\\ansi\\missing", 0));
}

// Every key, file, device and service the DLL opens, over an install and an
// uninstall, asks exactly for the access (and, for files and devices, the
// sharing and flags) it is meant to.
TEST_F(Helper, EveryOpenAsksForTheAccessItIsMeantTo) {
    struct Expected {
        DWORD access, share, flags;
    };
    const Expected device = {GENERIC_ALL, 0, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING};  // 0xA0000000
    const Expected probe = {GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL};
    // The install folder is looked at, not opened for anything else.
    const Expected folder = {FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             FILE_FLAG_BACKUP_SEMANTICS};
    // An earlier client manager registered without quotes is opened too.
    testsvc::ResetServices();
    ASSERT_EQ(0u, testsvc::Svcctl(L"create VeltraneClientManager \"C:\\testbed\\ansi\\VtClientManager.exe\" auto"));
    spy::Scope spy(testdll::Module());
    EXPECT_EQ(0, Run("C:\\testbed\\ansi", 1));
    EXPECT_EQ(0, Run("C:\\testbed\\ansi", 0));
    std::set<std::string> seen;
    for (const spy::Call& c : spy::Calls()) {
        SCOPED_TRACE(c.function + " " + testing::PrintToString(c.detail));
        Expected expected;
        if (c.function == "CreateFileW") {
            const bool isProbe = c.detail.size() > 17 && c.detail.compare(c.detail.size() - 17, 17, L"\\Disk\\OrigMbr.dat") == 0;
            expected = isProbe ? probe : c.detail == L"C:\\testbed\\ansi" ? folder : device;
        } else if (c.function == "LoadLibraryExW") {
            // Its own imports resolve from its folder, not the setup program's.
            expected = {0, 0, LOAD_WITH_ALTERED_SEARCH_PATH};
        } else if (c.function == "RegOpenKeyExW") {
            expected = {KEY_READ, 0, 0};  // 0x00020019
        } else if (c.function == "RegCreateKeyExW") {
            expected = {KEY_ALL_ACCESS, 0, 0};
        } else if (c.function == "OpenSCManagerW") {
            expected = {SC_MANAGER_ALL_ACCESS, 0, 0};
        } else if (c.function == "OpenServiceW" || c.function == "CreateServiceW") {
            expected = {SERVICE_ALL_ACCESS, 0, 0};
        } else {
            continue;
        }
        seen.insert(c.function);
        // A registry view flag is the 64-bit machine's, not part of the access asked for.
        const DWORD views = c.function.rfind("Reg", 0) == 0 ? KEY_WOW64_64KEY | KEY_WOW64_32KEY : 0;
        EXPECT_EQ(expected.access, c.access & ~views);
        EXPECT_EQ(expected.share, c.share);
        EXPECT_EQ(expected.flags, c.flags);
    }
    EXPECT_EQ((std::set<std::string>{"CreateFileW", "CreateServiceW", "LoadLibraryExW", "OpenSCManagerW",
                                     "OpenServiceW", "RegCreateKeyExW", "RegOpenKeyExW"}),
              seen);
    EXPECT_EQ(1, spy::CountOf("ChangeServiceConfigW"));
}

// The guard does not release what the recording held at the fault, and says
// so: here the shared-files list, its new entry and the entry's id list.
// Everything else is as after a call without the fault.
TEST_F(Helper, AFaultInTheRegistrationLeavesTheCallToTheSequenceAndWhatItHeldHeld) {
    testbed::ClearRequests(L"RsvLock");
    testbed::PlaceFile(L"standin_veltrane_v2105.sys", ansi_.path() + L"\\veltrane.sys");
    std::multiset<std::string> held;
    {
        spy::Scope spy(testdll::Module());
        spy::Fail("RegSetValueExW", spy::kAccessViolation, L"AppIds");
        SetLastError(0xDEAD);
        EXPECT_EQ(0, Run("C:\\testbed\\ansi", 1));
        EXPECT_EQ(0u, GetLastError());
        for (const spy::Resource& r : spy::Held()) {
            held.insert(r.kind);
            if (r.kind == "key") RegCloseKey(static_cast<HKEY>(const_cast<void*>(r.handle)));
            if (r.kind == "heap") HeapFree(GetProcessHeap(), 0, const_cast<void*>(r.handle));
        }
        // Redirection, off around the driver's look-up and refresh, is back on.
        EXPECT_EQ(spy::CountOf("Wow64DisableWow64FsRedirection"), spy::CountOf("Wow64RevertWow64FsRedirection"));
    }
    EXPECT_EQ((std::multiset<std::string>{"heap", "key", "key"}), held);
    // The registration stopped at the fault; the whole sequence ran after it,
    // the lock requests around the driver's move included.
    EXPECT_EQ(L"(missing)", ListedId(ansi_.path()));
    EXPECT_EQ(testreg::List({L"VELTRANE", L"PartMgr"}), testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
    EXPECT_TRUE(testsvc::Exists(kClientManagerService));
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), testbed::LockValues());
    testbed::PlaceFile(L"standin_veltrane_v2090.sys", testbed::SystemDriverCopy());

    // The sequence's own failure still comes back, with its error.
    spy::Scope spy(testdll::Module());
    spy::Fail("OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr, 0, -1);
    spy::Fail("SHGetSpecialFolderLocation", spy::kAccessViolation);
    EXPECT_EQ(-1, Run("C:\\testbed\\ansi", 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

// The call lock, made first by another program with `sddl`: as this DLL
// makes it (owned by Administrators, for SYSTEM and Administrators alone),
// or as an account without rights would (owned by it, open to everyone).
const wchar_t* const kAsTheDllMakesIt = L"O:BAD:(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)";
const wchar_t* const kAsAnotherAccountMakesIt = L"O:WDD:(A;;GA;;;WD)";
HANDLE MakeCallLock(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    const bool global = LOBYTE(LOWORD(GetVersion())) >= 5 && !(GetVersion() & 0x80000000);
    const HANDLE lock = CreateMutexA(&attributes, FALSE, global ? "Global\\VtPostInstall" : "VtPostInstall");
    LocalFree(descriptor);
    return lock;
}

DWORD WINAPI InstallInAnsi(void* result) {
    *static_cast<int*>(result) = testdll::Helper()("C:\\testbed\\ansi", 1, 0);
    return 0;
}

int InstallOnAnotherThread() {
    int result = 1;
    const HANDLE call = CreateThread(nullptr, 0, InstallInAnsi, &result, 0, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(call, 60000));
    CloseHandle(call);
    return result;
}

DWORD WINAPI TakeAndEnd(void* lock) {
    WaitForSingleObject(lock, INFINITE);
    return 0;  // ends holding it: the mutex is abandoned
}

// A second call waits while another holds the lock, and a lock whose holder
// ended without releasing it is taken over.
TEST_F(Helper, OneCallAtATimeAndAnAbandonedLockIsTakenOver) {
    const HANDLE lock = MakeCallLock(kAsTheDllMakesIt);
    ASSERT_NE(nullptr, lock);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(lock, 0));
    int result = 1;
    HANDLE call = CreateThread(nullptr, 0, InstallInAnsi, &result, 0, nullptr);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(call, 1000));
    EXPECT_FALSE(testsvc::Exists(kClientManagerService));
    ReleaseMutex(lock);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(call, 30000));
    CloseHandle(call);
    EXPECT_EQ(0, result);
    EXPECT_TRUE(testsvc::Exists(kClientManagerService));

    HANDLE holder = CreateThread(nullptr, 0, TakeAndEnd, lock, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder, 30000));
    CloseHandle(holder);
    result = 1;
    call = CreateThread(nullptr, 0, InstallInAnsi, &result, 0, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(call, 30000));
    CloseHandle(call);
    EXPECT_EQ(0, result);
    // Released at the call's end.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(lock, 0));
    ReleaseMutex(lock);
    CloseHandle(lock);
}

// Nobody without rights can hold the calls up: a lock another account made
// is not waited for (the trace says so), and another call's is waited for ten
// minutes, no longer: then ERROR_TIMEOUT, nothing changed.
TEST_F(Helper, ALockOfAnotherAccountIsNotWaitedForAndTheWaitIsBounded) {
    const std::wstring log = ansi_.path() + L"\\trace.log";
    SetEnvironmentVariableW(L"VTPI_LOG", log.c_str());
    HANDLE lock = MakeCallLock(kAsAnotherAccountMakesIt);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(lock, 0));
    EXPECT_EQ(0, InstallOnAnotherThread());
    std::ifstream in(log.c_str(), std::ios::binary);
    EXPECT_NE(std::string::npos, std::string(std::istreambuf_iterator<char>(in), {}).find("made by another account"));
    CloseHandle(lock);

    testsvc::ResetServices();
    spy::Scope spy(testdll::Module());
    spy::Fail("WaitForSingleObject", 0);  // the ten minutes pass
    SetLastError(0xDEAD);
    EXPECT_EQ(-1, Run("C:\\testbed\\ansi", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    EXPECT_EQ(L"600000", spy::CallsTo("WaitForSingleObject").at(0).detail);
    ExpectNothingChanged();
}

TEST(CallLock, IsOwnedByAdministratorsAndOpenToSystemAndAdministratorsAlone) {
    MachineLock lock;
    ASSERT_EQ(0u, lock.Take("vtpi-lock-test", true));
    const HANDLE opened = OpenMutexA(READ_CONTROL, FALSE, "vtpi-lock-test");
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LPWSTR sddl = nullptr;
    ASSERT_EQ(0u, GetSecurityInfo(opened, SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor));
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &sddl, nullptr);
    EXPECT_STREQ(kAsTheDllMakesIt, sddl);
    LocalFree(sddl);
    LocalFree(descriptor);
    CloseHandle(opened);
}

// A custom action without an installer session (no CustomActionData to be
// had) fails and touches nothing; the client check only reads.
TEST(MsiActions, WithoutASessionTheyFailAndTouchNothing) {
    testreg::FilterListsSnapshot lists;
    testsvc::ResetServices();
    using Action = UINT(__stdcall*)(unsigned long);
    spy::Scope spy(testdll::Module());
    for (const char* name : {"VtMsiInstall", "VtMsiUninstall", "VtMsiRollback"}) {
        SCOPED_TRACE(name);
        const auto action = reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(testdll::Module(), name)));
        ASSERT_NE(nullptr, action);
        EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), action(0));
    }
    const auto check =
        reinterpret_cast<Action>(reinterpret_cast<void*>(GetProcAddress(testdll::Module(), "VtMsiCheckClient")));
    ASSERT_NE(nullptr, check);
    EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS), check(0));
    ExpectNothingChanged();
    EXPECT_EQ("", spy::DescribeHeld());
}

}  // namespace
