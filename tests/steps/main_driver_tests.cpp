// The main driver's two steps, its presence and its file refresh, and the two control
// devices, against the testbed's stand-in drivers and real version resources.
#include <gtest/gtest.h>

#include "steps/driver_refresh.h"
#include "steps/main_driver.h"
#include "spy.h"
#include "testbed.h"

using namespace vtpi;
using testbed::Version;

namespace {

const wchar_t* const kV2090 = L"standin_veltrane_v2090.sys";
const wchar_t* const kV2105 = L"standin_veltrane_v2105.sys";
const wchar_t* const kV8000 = L"standin_veltrane_v8000.sys";
const wchar_t* const kNoVersion = L"standin_veltrane_noversion.sys";
// Version 32768.0.0.1 built for i386 and for x86-64, on both machines.
const wchar_t* const kForI386 = L"standin_veltrane_x86.sys";
const wchar_t* const kForX64 = L"standin_veltrane_x64.sys";
// Version blocks claiming 9.9.9.9: one with a wrong signature, one whose
// fixed part is declared shorter than VS_FIXEDFILEINFO.
const wchar_t* const kBadSignature = L"standin_veltrane_badsig.sys";
const wchar_t* const kShortBlock = L"standin_veltrane_short.sys";

class MainDriver : public testing::Test {
protected:
    testbed::ScratchDir install_{L"install"};

    void SetUp() override {
        testbed::ClearRequests(L"Veltrane");
        testbed::ClearRequests(L"RsvLock");
    }
    // The testbed's own system copy, for the tests after this one.
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());
    }
    std::wstring InstallCopy() const { return install_.path() + L"\\veltrane.sys"; }
    static std::wstring StagedCopy() { return testbed::SystemDriverCopy() + L".tmp"; }

    // The refresh's device requests, copies and moves, in order, as the spy saw them.
    std::vector<std::wstring> RefreshCalls() {
        std::vector<std::wstring> out;
        for (const spy::Call& c : spy::Calls()) {
            if (c.function == "DeviceIoControl") out.push_back(L"request " + c.detail);
            if (c.function == "CopyFileW") out.push_back(L"copy");
            if (c.function == "MoveFileExW") out.push_back(L"move");
        }
        return out;
    }
    static std::vector<std::wstring> Bracketed(const std::wstring& step) {
        return {L"copy", L"request 002220CC 00000000", step, L"request 002220CC 01000000"};
    }
};

struct RefreshCase {
    const char* what;
    const wchar_t* installFile;  // null: absent
    const wchar_t* systemFile;
    std::vector<uint32_t> locks;
    uint64_t systemVersionAfter;  // 0: no version or absent
};

TEST_F(MainDriver, RefreshFollowsTheVersionsAndBracketsTheCopyWithLockValues) {
    const RefreshCase cases[] = {
        {"newer install copy", kV2105, kV2090, {0, 1}, Version(2, 1, 0, 5)},
        {"equal versions", kV2105, kV2105, {}, Version(2, 1, 0, 5)},
        {"older install copy", kV2090, kV2105, {}, Version(2, 1, 0, 5)},
        {"system copy missing", kV2105, nullptr, {0, 1}, Version(2, 1, 0, 5)},
        {"install copy without a version", kNoVersion, kV2090, {0}, Version(2, 0, 9, 0)},
        {"install copy missing", nullptr, kV2090, {0}, Version(2, 0, 9, 0)},
        {"neither has a version", kNoVersion, nullptr, {}, 0},
        // Versions compare unsigned: a major part of 0x8000 is the higher one.
        {"major 0x8000 over 2.1.0.5", kV8000, kV2105, {0, 1}, Version(0x8000, 0, 0, 1)},
        {"major 0x8000 into a missing copy", kV8000, nullptr, {0, 1}, Version(0x8000, 0, 0, 1)},
        {"2.1.0.5 over major 0x8000", kV2105, kV8000, {}, Version(0x8000, 0, 0, 1)},
        // A malformed version block is no version, whichever copy has it.
        {"install copy with a wrong signature", kBadSignature, kV2090, {0}, Version(2, 0, 9, 0)},
        {"install copy with a short fixed block", kShortBlock, kV2090, {0}, Version(2, 0, 9, 0)},
        {"system copy with a wrong signature", kV2090, kBadSignature, {0, 1}, Version(2, 0, 9, 0)},
    };
    for (const RefreshCase& c : cases) {
        SCOPED_TRACE(c.what);
        testbed::PlaceFile(c.installFile, InstallCopy());
        testbed::PlaceFile(c.systemFile, testbed::SystemDriverCopy());
        testbed::ClearRequests(L"RsvLock");
        spy::Scope spy(GetModuleHandleW(nullptr));

        RefreshMainDriverFile(InstallCopy().c_str());

        // The install copy is staged first; only a newer one is moved over
        // the system copy, between the lock values.
        std::vector<std::wstring> expected = {L"copy"};
        if (c.locks.size() == 2) expected = Bracketed(L"move");
        if (c.locks.size() == 1) expected.push_back(L"request 002220CC 00000000");
        EXPECT_EQ(expected, RefreshCalls());
        EXPECT_EQ(c.locks, testbed::LockValues());
        EXPECT_EQ(c.systemVersionAfter, testbed::FileVersion(testbed::SystemDriverCopy()));
        EXPECT_FALSE(testbed::FileExists(StagedCopy()));
        EXPECT_EQ("", spy::DescribeHeld());
        EXPECT_TRUE(testbed::Requests(L"Veltrane").empty());
    }
}

TEST_F(MainDriver, TheStagedCopyReplacesTheSystemCopyWriteThrough) {
    testbed::PlaceFile(kV2105, InstallCopy());
    testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, RefreshMainDriverFile(InstallCopy().c_str()));
    const auto copies = spy::CallsTo("CopyFileW");
    ASSERT_EQ(1u, copies.size());
    EXPECT_EQ(InstallCopy() + L" -> " + StagedCopy(), copies[0].detail);
    const auto moves = spy::CallsTo("MoveFileExW");
    ASSERT_EQ(1u, moves.size());
    EXPECT_EQ(StagedCopy() + L" -> " + testbed::SystemDriverCopy() + L" 9", moves[0].detail);
}

// The bytes the refresh checks are the bytes it installs: the version is
// read from the staged copy, never from the install copy.
TEST_F(MainDriver, TheVersionComparedIsThatOfTheStagedCopy) {
    testbed::PlaceFile(kV2105, InstallCopy());
    spy::Scope spy(GetModuleHandleW(nullptr));
    RefreshMainDriverFile(InstallCopy().c_str());
    const auto reads = spy::CallsTo("GetFileVersionInfoW");
    ASSERT_EQ(2u, reads.size());
    EXPECT_EQ(testbed::SystemDriverCopy(), reads[0].detail);
    EXPECT_EQ(StagedCopy(), reads[1].detail);
    // VERSION comes from the system directory by its full path, for this refresh only.
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const auto loads = spy::CallsTo("LoadLibraryExW");
    ASSERT_EQ(1u, loads.size());
    EXPECT_EQ(std::wstring(system) + L"\\VERSION.DLL", loads[0].detail);
    EXPECT_EQ(1, spy::CountOf("FreeLibrary"));
}

// Without VERSION nothing can be compared: the refresh does nothing at all.
TEST_F(MainDriver, WithoutTheVersionLibraryNothingIsStagedOrRequested) {
    testbed::PlaceFile(kV2105, InstallCopy());
    for (const char* fault : {"LoadLibraryExW", "GetProcAddress"}) {
        SCOPED_TRACE(fault);
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail(fault, ERROR_MOD_NOT_FOUND);
        RefreshMainDriverFile(InstallCopy().c_str());
        EXPECT_EQ(0, spy::CountOf("CopyFileW"));
        EXPECT_EQ(0, spy::CountOf("DeviceIoControl"));
        EXPECT_EQ(Version(2, 0, 9, 0), testbed::FileVersion(testbed::SystemDriverCopy()));
        EXPECT_EQ(fault == std::string("GetProcAddress") ? 1 : 0, spy::CountOf("FreeLibrary"));
    }
}

// A copy or move that fails leaves the system copy byte-for-byte as it was
// and no staged file behind; the lock values stay paired.
TEST_F(MainDriver, AFailedCopyOrMoveLeavesTheSystemCopyAsItWas) {
    struct Case {
        const char* function;
        DWORD error;
        std::vector<uint32_t> locks;
    };
    const Case cases[] = {
        {"CopyFileW", ERROR_DISK_FULL, {0}},  // stopped midway: the staged copy is truncated
        {"CopyFileW", ERROR_SHARING_VIOLATION, {0}},
        {"MoveFileExW", ERROR_SHARING_VIOLATION, {0, 1}},
        {"MoveFileExW", ERROR_DISK_FULL, {0, 1}},
    };
    testbed::PlaceFile(kV2105, InstallCopy());
    const std::vector<BYTE> before = testbed::FileBytes(testbed::SystemDriverCopy());
    ASSERT_FALSE(before.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.function) + " " + std::to_string(c.error));
        testbed::ClearRequests(L"RsvLock");
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail(c.function, c.error);
        RefreshMainDriverFile(InstallCopy().c_str());
        EXPECT_TRUE(before == testbed::FileBytes(testbed::SystemDriverCopy()));
        EXPECT_FALSE(testbed::FileExists(StagedCopy()));
        EXPECT_EQ(c.locks, testbed::LockValues());
        EXPECT_EQ("", spy::DescribeHeld());
    }
}

TEST_F(MainDriver, ASystemCopyHeldOpenByAnotherProcessIsLeftAsItWas) {
    testbed::PlaceFile(kV2105, InstallCopy());
    const std::vector<BYTE> before = testbed::FileBytes(testbed::SystemDriverCopy());
    {
        testbed::HeldFile held(testbed::SystemDriverCopy());
        ASSERT_TRUE(held.held());
        spy::Scope spy(GetModuleHandleW(nullptr));
        RefreshMainDriverFile(InstallCopy().c_str());
        const auto moves = spy::CallsTo("MoveFileExW");
        EXPECT_EQ(1u, moves.size());
    }
    EXPECT_TRUE(before == testbed::FileBytes(testbed::SystemDriverCopy()));
    EXPECT_FALSE(testbed::FileExists(StagedCopy()));
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), testbed::LockValues());
}

// A staged file left by a run that was killed, even a read-only one with a
// higher version, is removed before the install copy is staged; a read-only
// install copy's staged copy is removed too.
TEST_F(MainDriver, LeftoverAndReadOnlyStagedFilesAreRemoved) {
    testbed::PlaceFile(kV2105, InstallCopy());
    testbed::PlaceFile(kV8000, StagedCopy());
    {
        testbed::NativeFiles native;
        ASSERT_TRUE(SetFileAttributesW(StagedCopy().c_str(), FILE_ATTRIBUTE_READONLY));
    }
    RefreshMainDriverFile(InstallCopy().c_str());
    EXPECT_EQ(Version(2, 1, 0, 5), testbed::FileVersion(testbed::SystemDriverCopy()));
    EXPECT_FALSE(testbed::FileExists(StagedCopy()));

    // Not newer, and staged read-only from a read-only install copy.
    ASSERT_TRUE(SetFileAttributesW(InstallCopy().c_str(), FILE_ATTRIBUTE_READONLY));
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        RefreshMainDriverFile(InstallCopy().c_str());
        EXPECT_EQ(0, spy::CountOf("MoveFileExW"));
        // The staged copy kept the install copy's read-only attribute.
        EXPECT_EQ(1, spy::CountOf("SetFileAttributesW"));
    }
    EXPECT_FALSE(testbed::FileExists(StagedCopy()));
    SetFileAttributesW(InstallCopy().c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The staged bytes reach the disk before the move: a copy that cannot be
// flushed is not moved, and a read-only one is flushed and keeps its attribute.
TEST_F(MainDriver, TheStagedCopyIsFlushedBeforeItIsMoved) {
    testbed::PlaceFile(kV2105, InstallCopy());
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail("FlushFileBuffers", ERROR_IO_DEVICE);
        EXPECT_EQ(static_cast<DWORD>(ERROR_IO_DEVICE), RefreshMainDriverFile(InstallCopy().c_str()));
        EXPECT_EQ(0, spy::CountOf("MoveFileExW"));
        EXPECT_EQ("", spy::DescribeHeld());
    }
    EXPECT_EQ(Version(2, 0, 9, 0), testbed::FileVersion(testbed::SystemDriverCopy()));
    EXPECT_TRUE(testbed::LockValues().empty());
    EXPECT_FALSE(testbed::FileExists(StagedCopy()));

    ASSERT_TRUE(SetFileAttributesW(InstallCopy().c_str(), FILE_ATTRIBUTE_READONLY));
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        EXPECT_EQ(0u, RefreshMainDriverFile(InstallCopy().c_str()));
        EXPECT_EQ(1, spy::CountOf("FlushFileBuffers"));
        EXPECT_EQ("", spy::DescribeHeld());
    }
    EXPECT_EQ(Version(2, 1, 0, 5), testbed::FileVersion(testbed::SystemDriverCopy()));
    {
        testbed::NativeFiles native;
        EXPECT_NE(0u, GetFileAttributesW(testbed::SystemDriverCopy().c_str()) & FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW(testbed::SystemDriverCopy().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    SetFileAttributesW(InstallCopy().c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Only a driver built for this machine's processor becomes the boot driver:
// another one is refused however new it is, before any lock value, and
// nothing of it stays. Without IsWow64Process2 the native processor comes
// from GetNativeSystemInfo.
TEST_F(MainDriver, OnlyADriverForThisMachinesProcessorReplacesTheSystemCopy) {
    for (int run = 0; run < 3; ++run) {  // another processor's, this one's, this one's without IsWow64Process2
        SCOPED_TRACE(run);
        const bool native = run > 0;
        testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());
        testbed::PlaceFile(native == testbed::OnWow64() ? kForX64 : kForI386, InstallCopy());
        testbed::ClearRequests(L"RsvLock");
        spy::Scope spy(GetModuleHandleW(nullptr));
        if (run == 2) spy::Fail("GetProcAddress", ERROR_PROC_NOT_FOUND, L"IsWow64Process2");
        EXPECT_EQ(native ? 0u : static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), RefreshMainDriverFile(InstallCopy().c_str()));
        EXPECT_EQ(native ? Version(0x8000, 0, 0, 1) : Version(2, 0, 9, 0), testbed::FileVersion(testbed::SystemDriverCopy()));
        EXPECT_EQ(native ? std::vector<uint32_t>({0, 1}) : std::vector<uint32_t>(), testbed::LockValues());
        EXPECT_FALSE(testbed::FileExists(StagedCopy()));
        EXPECT_EQ("", spy::DescribeHeld());
    }
}

TEST_F(MainDriver, AnAbsentLockDeviceDoesNotStopTheCopy) {
    testbed::PlaceFile(kV2105, InstallCopy());
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("CreateFileW", ERROR_FILE_NOT_FOUND, kLockDevice, 0, -1);
    RefreshMainDriverFile(InstallCopy().c_str());
    EXPECT_EQ(1, spy::CountOf("MoveFileExW"));
    EXPECT_EQ(0, spy::CountOf("DeviceIoControl"));
    EXPECT_EQ(Version(2, 1, 0, 5), testbed::FileVersion(testbed::SystemDriverCopy()));
}

TEST_F(MainDriver, CompressionRequestCarriesFormatNoneToTheControlDevice) {
    EXPECT_TRUE(ClearMainDeviceCompression());
    const std::vector<testbed::Request> expected = {{0x0009C040, {0, 0}}};
    EXPECT_EQ(expected, testbed::Requests(L"Veltrane"));
    EXPECT_TRUE(testbed::Requests(L"RsvLock").empty());

    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("CreateFileW", ERROR_FILE_NOT_FOUND, kMainControlDevice);
    EXPECT_FALSE(ClearMainDeviceCompression());
    spy::Fail("DeviceIoControl", ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(ClearMainDeviceCompression());
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(MainDriver, PresenceNeedsTheDriverFileAndItsServiceKey) {
    EXPECT_EQ(0u, CheckMainDriverPresent());

    testbed::PlaceFile(nullptr, testbed::SystemDriverCopy());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), CheckMainDriverPresent());
    // Any directory entry of that name will do.
    {
        testbed::NativeFiles native;
        ASSERT_TRUE(CreateDirectoryW(testbed::SystemDriverCopy().c_str(), nullptr));
    }
    EXPECT_EQ(0u, CheckMainDriverPresent());
    {
        testbed::NativeFiles native;
        RemoveDirectoryW(testbed::SystemDriverCopy().c_str());
    }
    testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());

    testbed::PlaceFile(kV2105, InstallCopy());
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail("RegOpenKeyExW", ERROR_ACCESS_DENIED, kMainDriverServiceKey);
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), CheckMainDriverPresent());
        EXPECT_EQ("", spy::DescribeHeld());
    }
    // Without the system directory nothing is looked up or copied.
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("GetSystemDirectoryW", ERROR_INVALID_PARAMETER, nullptr, 0, 2);
    EXPECT_NE(0u, CheckMainDriverPresent());
    EXPECT_NE(0u, RefreshMainDriverFile(InstallCopy().c_str()));
    EXPECT_EQ(0, spy::CountOf("CopyFileW"));
    EXPECT_EQ(0, spy::CountOf("FindFirstFileW"));
    EXPECT_EQ(0, spy::CountOf("DeviceIoControl"));
}

}  // namespace
