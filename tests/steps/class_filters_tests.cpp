// The floppy and crash-dump list steps on the real registry: the filter at
// the front on install, out on uninstall, and a refused write reported with
// its error and nothing stored.
#include <gtest/gtest.h>

#include "registry.h"
#include "spy.h"
#include "steps/class_filters.h"
#include "steps/disk_filter.h"

using namespace vtpi;
using testreg::List;

namespace {

TEST(ClassFilters, InstallAndUninstallOnTheFloppyAndCrashDumpLists) {
    testreg::Snapshot floppy(kFloppyClassKey, kUpperFiltersValue);
    testreg::Snapshot dump(kCrashControlKey, kDumpFiltersValue);
    testreg::DeleteValue(kFloppyClassKey, kUpperFiltersValue);
    EXPECT_EQ(0u, UpdateFloppyFilter(false));
    const auto empty = testreg::ReadValue(kFloppyClassKey, kUpperFiltersValue);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), empty.type);
    EXPECT_EQ(std::vector<BYTE>(2, 0), empty.bytes);

    testreg::SetList(kFloppyClassKey, kUpperFiltersValue, {L"Other", L"vtflop"});
    EXPECT_EQ(0u, UpdateFloppyFilter(true));
    EXPECT_EQ((List{L"VTFLOP", L"Other"}), testreg::ReadList(kFloppyClassKey, kUpperFiltersValue));
    EXPECT_EQ(0u, UpdateFloppyFilter(false));
    EXPECT_EQ(List{L"Other"}, testreg::ReadList(kFloppyClassKey, kUpperFiltersValue));

    testreg::SetList(kCrashControlKey, kDumpFiltersValue, {L"dumpfve.sys", L"vthiber.sys"});
    EXPECT_EQ(0u, UpdateDumpFilter(true));
    EXPECT_EQ((List{L"VtHiber.sys", L"dumpfve.sys"}), testreg::ReadList(kCrashControlKey, kDumpFiltersValue));
    EXPECT_EQ(0u, UpdateDumpFilter(false));
    EXPECT_EQ(List{L"dumpfve.sys"}, testreg::ReadList(kCrashControlKey, kDumpFiltersValue));
}

TEST(ClassFilters, ARefusedWriteGivesItsErrorAndStoresNothing) {
    testreg::Snapshot floppy(kFloppyClassKey, kUpperFiltersValue);
    testreg::Snapshot dump(kCrashControlKey, kDumpFiltersValue);
    testreg::DeleteValue(kFloppyClassKey, kUpperFiltersValue);
    testreg::SetList(kCrashControlKey, kDumpFiltersValue, {L"dumpfve.sys"});
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("RegSetValueExW", ERROR_ACCESS_DENIED, nullptr, 0, -1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), UpdateFloppyFilter(true));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), UpdateDumpFilter(true));
    EXPECT_EQ("", spy::DescribeHeld());
    EXPECT_FALSE(testreg::ReadValue(kFloppyClassKey, kUpperFiltersValue).exists);
    EXPECT_EQ(List{L"dumpfve.sys"}, testreg::ReadList(kCrashControlKey, kDumpFiltersValue));
}

}  // namespace
