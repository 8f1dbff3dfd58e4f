// The disk devices' own upper-filter lists, on stand-in devices made through
// Wine's SetupAPI, and how the cleanup loads SETUPAPI.DLL.
#include <gtest/gtest.h>

#include "devices_api.h"
#include "registry.h"
#include "steps/disk_filter.h"
#include "spy.h"

using namespace vtpi;
using vtdev::Bytes;

namespace {

Bytes Units(const std::wstring& units) {
    auto p = reinterpret_cast<const BYTE*>(units.data());
    return Bytes(p, p + units.size() * 2);
}

class DeviceFilters : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, vtdev::RemoveAllDisks()); }
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        vtdev::RemoveAllDisks();
    }
    static vtdev::Stored Stored(const wchar_t* id) {
        return vtdev::ReadUpperFiltersValue(vtdev::InstanceIdFor(id));
    }
    static DWORD Strip() {
        DiskDeviceLists devices;
        return devices.StripFilter();
    }
    static std::vector<std::wstring> Writes() {
        std::vector<std::wstring> out;
        for (const auto& c : spy::CallsTo("SetupDiSetDeviceRegistryPropertyW")) out.push_back(c.detail);
        return out;
    }
};

TEST_F(DeviceFilters, EveryDeviceListLosesTheFilterAndOthersAreLeftAlone) {
    // Devices enumerate by name: A1 first.
    ASSERT_EQ(0u, vtdev::AddDisk(L"A1", {L"X", L"veltrane"}));
    ASSERT_EQ(0u, vtdev::AddDisk(L"A2", {L"VELTRANE"}));
    ASSERT_EQ(0u, vtdev::AddDisk(L"A3"));
    ASSERT_EQ(0u, vtdev::AddDisk(L"A4"));
    ASSERT_EQ(0u, vtdev::SetRawUpperFilters(L"A4", REG_SZ, Units(std::wstring(L"VELTRANE\0", 9))));
    ASSERT_EQ(0u, vtdev::AddDisk(L"A5", {L"Y", L"Z"}));
    ASSERT_EQ(0u, vtdev::AddDisk(L"A6"));
    // No final NUL: the list still ends with its data.
    ASSERT_EQ(0u, vtdev::SetRawUpperFilters(L"A6", REG_MULTI_SZ, Units(std::wstring(L"X\0veltrane", 10))));
    ASSERT_EQ(0u, vtdev::AddDisk(L"A7", {L"VELTRANE", L"veltrane", L"Q"}));

    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, Strip());
    // A3 (no property), A4 (REG_SZ) and A5 (no filter) are not written; A2 is cleared.
    EXPECT_EQ((std::vector<std::wstring>{L"6 bytes", L"null", L"6 bytes", L"6 bytes"}), Writes());
    EXPECT_EQ("", spy::DescribeHeld());

    EXPECT_EQ(Units(std::wstring(L"X\0\0", 3)), Stored(L"A1").bytes);
    // Wine keeps an empty value where Windows deletes it.
    EXPECT_TRUE(Stored(L"A2").bytes.empty());
    EXPECT_FALSE(Stored(L"A3").exists);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), Stored(L"A4").type);
    EXPECT_EQ(Units(std::wstring(L"Y\0Z\0\0", 5)), Stored(L"A5").bytes);
    EXPECT_EQ(Units(std::wstring(L"X\0\0", 3)), Stored(L"A6").bytes);
    EXPECT_EQ(Units(std::wstring(L"Q\0\0", 3)), Stored(L"A7").bytes);

    // Again: no list names the filter any more, so nothing is written.
    spy::Clear();
    EXPECT_EQ(0u, Strip());
    EXPECT_TRUE(Writes().empty());
}

TEST_F(DeviceFilters, RestoreGivesEveryStrippedDeviceItsListBackAsItWas) {
    ASSERT_EQ(0u, vtdev::AddDisk(L"R1", {L"VELTRANE"}));
    ASSERT_EQ(0u, vtdev::AddDisk(L"R2", {L"Y", L"veltrane", L"Z"}));
    ASSERT_EQ(0u, vtdev::AddDisk(L"R3", {L"Q"}));
    const auto r1 = Stored(L"R1"), r2 = Stored(L"R2"), r3 = Stored(L"R3");
    spy::Scope spy(GetModuleHandleW(nullptr));
    {
        DiskDeviceLists devices;
        EXPECT_EQ(0u, devices.StripFilter());
        EXPECT_EQ(Units(std::wstring(L"Y\0Z\0\0", 5)), Stored(L"R2").bytes);
        devices.Restore();
    }
    EXPECT_EQ(r1.bytes, Stored(L"R1").bytes);
    EXPECT_EQ(r2.bytes, Stored(L"R2").bytes);
    EXPECT_EQ(r3.bytes, Stored(L"R3").bytes);
    EXPECT_EQ(4u, Writes().size());  // R3 was never written
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(DeviceFilters, AFailedWriteDoesNotStopTheWalk) {
    ASSERT_EQ(0u, vtdev::AddDisk(L"B1", {L"VELTRANE", L"X"}));
    ASSERT_EQ(0u, vtdev::AddDisk(L"B2", {L"VELTRANE", L"Y"}));
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("SetupDiSetDeviceRegistryPropertyW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0u, Strip());
    EXPECT_EQ(2u, Writes().size());
    EXPECT_EQ(Units(std::wstring(L"VELTRANE\0X\0\0", 12)), Stored(L"B1").bytes);
    EXPECT_EQ(Units(std::wstring(L"Y\0\0", 3)), Stored(L"B2").bytes);
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(DeviceFilters, NoDevicesMeansNothingWrittenAndSuccess) {
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, Strip());
    EXPECT_EQ(1, spy::CountOf("SetupDiEnumDeviceInfo"));
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(DeviceFilters, SetupApiComesFromTheSystemDirectoryOnEveryCall) {
    wchar_t system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, Strip());
    EXPECT_EQ(0u, Strip());
    const auto loads = spy::CallsTo("LoadLibraryExW");
    ASSERT_EQ(2u, loads.size());
    EXPECT_EQ(std::wstring(system) + L"\\SETUPAPI.DLL", loads[0].detail);
    const std::vector<std::wstring> lookups = {
        L"SetupDiGetDeviceRegistryPropertyW", L"SetupDiSetDeviceRegistryPropertyW",
        L"SetupDiGetClassDevsW", L"SetupDiEnumDeviceInfo", L"SetupDiDestroyDeviceInfoList"};
    std::vector<std::wstring> seen;
    for (const auto& c : spy::CallsTo("GetProcAddress")) seen.push_back(c.detail);
    seen.resize(5);
    EXPECT_EQ(lookups, seen);
}

TEST_F(DeviceFilters, MissingSetupApiOrEntryPointOrDeviceSetFails) {
    ASSERT_EQ(0u, vtdev::AddDisk(L"C1", {L"VELTRANE"}));
    struct Fault {
        const char* function;
        const wchar_t* detail;
        DWORD error;
    };
    const Fault faults[] = {
        {"LoadLibraryExW", nullptr, ERROR_MOD_NOT_FOUND},
        {"GetProcAddress", L"SetupDiGetDeviceRegistryPropertyW", ERROR_PROC_NOT_FOUND},
        {"GetProcAddress", L"SetupDiDestroyDeviceInfoList", ERROR_PROC_NOT_FOUND},
        {"SetupDiGetClassDevsW", nullptr, ERROR_INVALID_FLAGS},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.function);
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail(f.function, f.error, f.detail);
        EXPECT_EQ(f.error, Strip());
        EXPECT_EQ(0, spy::CountOf("SetupDiEnumDeviceInfo"));
        EXPECT_EQ("", spy::DescribeHeld());
    }
    EXPECT_EQ(Units(std::wstring(L"VELTRANE\0\0", 10)), Stored(L"C1").bytes);
}

// The installer's client check: the class list or any disk's own list naming
// the filter means a configured client, and so does a list that cannot be read.
TEST_F(DeviceFilters, TheClientCheckReadsEveryDiskListAndCountsAFailedReadAsConfigured) {
    testreg::FilterListsSnapshot lists;
    testreg::SetList(kDiskClassKey, kUpperFiltersValue, {L"PartMgr"});
    ASSERT_EQ(0u, vtdev::AddDisk(L"C1", {L"X"}));
    ASSERT_EQ(0u, vtdev::AddDisk(L"C2"));
    ASSERT_EQ(0u, vtdev::AddDisk(L"C3"));
    ASSERT_EQ(0u, vtdev::SetRawUpperFilters(L"C3", REG_SZ, Units(std::wstring(L"VELTRANE\0", 9))));
    EXPECT_FALSE(IsDiskFilterListed());
    testreg::DeleteValue(kDiskClassKey, kUpperFiltersValue);
    EXPECT_FALSE(IsDiskFilterListed());
    ASSERT_EQ(0u, vtdev::SetUpperFilters(L"C2", {L"Y", L"veltrane"}));
    EXPECT_TRUE(IsDiskFilterListed());
    ASSERT_EQ(0u, vtdev::SetUpperFilters(L"C2", {L"Y"}));
    testreg::SetList(kDiskClassKey, kUpperFiltersValue, {L"VELTRANE", L"PartMgr"});
    EXPECT_TRUE(IsDiskFilterListed());

    testreg::SetList(kDiskClassKey, kUpperFiltersValue, {L"PartMgr"});
    for (const auto& failure : std::vector<std::pair<const char*, const wchar_t*>>{
             {"RegOpenKeyExW", kDiskClassKey}, {"RegQueryValueExW", kUpperFiltersValue}, {"LoadLibraryExW", nullptr},
             {"SetupDiGetClassDevsW", nullptr}, {"SetupDiGetDeviceRegistryPropertyW", nullptr}}) {
        SCOPED_TRACE(failure.first);
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail(failure.first, ERROR_ACCESS_DENIED, failure.second);
        EXPECT_TRUE(IsDiskFilterListed());
        EXPECT_EQ("", spy::DescribeHeld());
    }
}

}  // namespace
