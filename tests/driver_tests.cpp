// The main driver's presence test, its file refresh and the two control
// devices, against the testbed's stand-in drivers and real version resources.
#include <gtest/gtest.h>

#include "spy.h"
#include "testbed.h"
#include "vtpi/driver.h"

using namespace vtpi;
using testbed::Version;

namespace {

const wchar_t* const kV2090 = L"standin_veltrane_v2090.sys";
const wchar_t* const kV2105 = L"standin_veltrane_v2105.sys";
const wchar_t* const kV8000 = L"standin_veltrane_v8000.sys";
const wchar_t* const kNoVersion = L"standin_veltrane_noversion.sys";

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

    // The refresh's device requests and copies, in order, as the spy saw them.
    std::vector<std::wstring> RefreshCalls() {
        std::vector<std::wstring> out;
        for (const spy::Call& c : spy::Calls()) {
            if (c.function == "DeviceIoControl") out.push_back(L"request " + c.detail);
            if (c.function == "CopyFileW") out.push_back(L"copy");
        }
        return out;
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
    };
    for (const RefreshCase& c : cases) {
        SCOPED_TRACE(c.what);
        testbed::PlaceFile(c.installFile, InstallCopy());
        testbed::PlaceFile(c.systemFile, testbed::SystemDriverCopy());
        testbed::ClearRequests(L"RsvLock");
        spy::Scope spy(GetModuleHandleW(nullptr));

        RefreshMainDriverFile(install_.path().c_str());

        std::vector<std::wstring> expected;
        for (uint32_t v : c.locks) {
            expected.push_back(v ? L"request 002220CC 01000000" : L"request 002220CC 00000000");
            if (v == 0 && c.locks.size() == 2) expected.push_back(L"copy");
        }
        EXPECT_EQ(expected, RefreshCalls());
        EXPECT_EQ(c.locks, testbed::LockValues());
        EXPECT_EQ(c.systemVersionAfter, testbed::FileVersion(testbed::SystemDriverCopy()));
        EXPECT_EQ("", spy::DescribeHeld());
        EXPECT_TRUE(testbed::Requests(L"Veltrane").empty());
    }
}

TEST_F(MainDriver, TheInstallCopyHasOneBackslashBeforeItsName) {
    for (const std::wstring& dir : {install_.path(), install_.path() + L"\\"}) {
        testbed::PlaceFile(kV2105, InstallCopy());
        testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());
        spy::Scope spy(GetModuleHandleW(nullptr));
        RefreshMainDriverFile(dir.c_str());
        const auto copies = spy::CallsTo("CopyFileW");
        ASSERT_EQ(1u, copies.size());
        EXPECT_EQ(InstallCopy() + L" -> " + testbed::SystemDriverCopy(), copies[0].detail);
    }
}

TEST_F(MainDriver, AnAbsentLockDeviceDoesNotStopTheCopy) {
    testbed::PlaceFile(kV2105, InstallCopy());
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("CreateFileW", ERROR_FILE_NOT_FOUND, kLockDevice, 0, -1);
    RefreshMainDriverFile(install_.path().c_str());
    EXPECT_EQ(1, spy::CountOf("CopyFileW"));
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
    EXPECT_TRUE(IsMainDriverInstalled());

    testbed::PlaceFile(nullptr, testbed::SystemDriverCopy());
    EXPECT_FALSE(IsMainDriverInstalled());
    // Any directory entry of that name will do.
    {
        testbed::NativeFiles native;
        ASSERT_TRUE(CreateDirectoryW(testbed::SystemDriverCopy().c_str(), nullptr));
    }
    EXPECT_TRUE(IsMainDriverInstalled());
    {
        testbed::NativeFiles native;
        RemoveDirectoryW(testbed::SystemDriverCopy().c_str());
    }
    testbed::PlaceFile(kV2090, testbed::SystemDriverCopy());

    testbed::PlaceFile(kV2105, InstallCopy());
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail("RegOpenKeyExW", ERROR_FILE_NOT_FOUND, kMainDriverServiceKey);
        EXPECT_FALSE(IsMainDriverInstalled());
        EXPECT_EQ("", spy::DescribeHeld());
    }
    // Without the system directory nothing is looked up or copied.
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("GetSystemDirectoryW", ERROR_INVALID_PARAMETER, nullptr, 0, 2);
    EXPECT_FALSE(IsMainDriverInstalled());
    RefreshMainDriverFile(install_.path().c_str());
    EXPECT_EQ(0, spy::CountOf("CopyFileW"));
    EXPECT_EQ(0, spy::CountOf("FindFirstFileW"));
    EXPECT_EQ(0, spy::CountOf("DeviceIoControl"));
}

}  // namespace
