// The filter-list value edit on the real registry: exact stored bytes and
// types, lists larger than the first read, unterminated data, and failures
// (through the spy) that must leave the stored list as it was.
#include <gtest/gtest.h>

#include "base/registry.h"
#include "registry.h"
#include "spy.h"

using namespace vtpi;
using testreg::List;

namespace {

const wchar_t* const kScratch = L"SOFTWARE\\VtPostInstallTests\\Lists";
const wchar_t* const kValue = L"DumpFilters";
const wchar_t* const kName = L"VtHiber.sys";

std::vector<BYTE> Bytes(const std::wstring& units) {
    auto p = reinterpret_cast<const BYTE*>(units.data());
    return std::vector<BYTE>(p, p + units.size() * 2);
}

// A list of `count` distinct entries of 15 units each.
List ManyEntries(int count) {
    List out;
    for (int i = 0; i < count; ++i) out.push_back(L"OtherFilter" + std::to_wstring(10000 + i).substr(1));
    return out;
}

class FilterListValue : public testing::Test {
protected:
    void SetUp() override {
        testreg::DeleteTree(L"SOFTWARE\\VtPostInstallTests");
        testreg::CreateKey(kScratch);
    }
    void TearDown() override { testreg::DeleteTree(L"SOFTWARE\\VtPostInstallTests"); }
};

TEST_F(FilterListValue, AbsentValueIsCreatedAsTheExactList) {
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, true));
    testreg::Stored v = testreg::ReadValue(kScratch, kValue);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), v.type);
    EXPECT_EQ(Bytes(std::wstring(L"VtHiber.sys\0\0", 13)), v.bytes);  // 26 bytes

    testreg::DeleteValue(kScratch, kValue);
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, false));
    v = testreg::ReadValue(kScratch, kValue);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), v.type);
    EXPECT_EQ(Bytes(std::wstring(1, L'\0')), v.bytes);  // the empty list, 2 bytes
}

TEST_F(FilterListValue, EditsAreFrontInsertedAndIdempotent) {
    testreg::SetList(kScratch, kValue, {L"X", L"vthiber.sys", L"Y", L"VTHIBER.SYS"});
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, true));
    EXPECT_EQ((List{L"VtHiber.sys", L"X", L"Y"}), testreg::ReadList(kScratch, kValue));
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, true));
    EXPECT_EQ((List{L"VtHiber.sys", L"X", L"Y"}), testreg::ReadList(kScratch, kValue));

    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, false));
    EXPECT_EQ((List{L"X", L"Y"}), testreg::ReadList(kScratch, kValue));
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, false));
    EXPECT_EQ((List{L"X", L"Y"}), testreg::ReadList(kScratch, kValue));

    testreg::SetList(kScratch, kValue, {L"VtHiber.sys"});
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, false));
    EXPECT_EQ(Bytes(std::wstring(1, L'\0')), testreg::ReadValue(kScratch, kValue).bytes);
}

struct StoredCase {
    const char* what;
    DWORD type;
    std::wstring units;  // stored exactly, without an added terminator
    List afterAdd;
};

TEST_F(FilterListValue, StoredDataOfAnyShapeIsReadAsAListAndWrittenBackWhole) {
    const StoredCase cases[] = {
        {"REG_SZ", REG_SZ, std::wstring(L"X\0", 2), {L"VtHiber.sys", L"X"}},
        {"no final NUL", REG_MULTI_SZ, std::wstring(L"X\0Y", 3), {L"VtHiber.sys", L"X", L"Y"}},
        {"no NUL at all", REG_MULTI_SZ, L"XY", {L"VtHiber.sys", L"XY"}},
        {"zero bytes", REG_MULTI_SZ, L"", {L"VtHiber.sys"}},
        {"REG_BINARY", REG_BINARY, std::wstring(L"A\0\0", 3), {L"VtHiber.sys", L"A"}},
        // The DWORD 0x00420041 reads as the units "AB".
        {"REG_DWORD", REG_DWORD, L"AB", {L"VtHiber.sys", L"AB"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testreg::SetValue(kScratch, kValue, c.type, Bytes(c.units));
        EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, true));
        EXPECT_EQ(c.afterAdd, testreg::ReadList(kScratch, kValue));
    }
    // An odd byte count: the last byte is the low half of a final unit.
    std::vector<BYTE> odd = Bytes(std::wstring(L"X\0", 2));
    odd.push_back('Z');
    testreg::SetValue(kScratch, kValue, REG_MULTI_SZ, odd);
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, false));
    EXPECT_EQ((List{L"X", L"Z"}), testreg::ReadList(kScratch, kValue));
}

TEST_F(FilterListValue, ListsLargerThanTheFirstReadSurviveWhole) {
    for (int count : {200, 1400}) {  // about 3,200 and 44,800 bytes
        SCOPED_TRACE(count);
        List stored = ManyEntries(count);
        stored.insert(stored.begin() + count / 2, L"vthiber.sys");
        testreg::SetList(kScratch, kValue, stored);

        List expected = ManyEntries(count);
        EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, false));
        EXPECT_EQ(expected, testreg::ReadList(kScratch, kValue));

        expected.insert(expected.begin(), L"VtHiber.sys");
        EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, true));
        EXPECT_EQ(expected, testreg::ReadList(kScratch, kValue));
    }
    // 64 KiB of list, the name in the middle and at the end.
    List big = ManyEntries(2200);
    big.insert(big.begin() + 1000, L"VTHIBER.SYS");
    big.push_back(L"vthiber.sys");
    testreg::SetList(kScratch, kValue, big);
    ASSERT_GT(testreg::ReadValue(kScratch, kValue).bytes.size(), 65536u);
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, true));
    List expected = ManyEntries(2200);
    expected.insert(expected.begin(), L"VtHiber.sys");
    EXPECT_EQ(expected, testreg::ReadList(kScratch, kValue));

    // Unterminated data that fills the first read exactly.
    std::wstring full(1024, L'Q');
    testreg::SetValue(kScratch, kValue, REG_MULTI_SZ, Bytes(full));
    EXPECT_EQ(0u, EditListValue(kScratch, kValue, kName, true));
    EXPECT_EQ((List{L"VtHiber.sys", full}), testreg::ReadList(kScratch, kValue));
}

TEST_F(FilterListValue, AMissingKeyIsNeverCreated) {
    const wchar_t* missing = L"SOFTWARE\\VtPostInstallTests\\Missing";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), EditListValue(missing, kValue, kName, true));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), EditListValue(missing, kValue, kName, false));
    EXPECT_FALSE(testreg::KeyExists(missing));
}

class FilterListFaults : public FilterListValue {
protected:
    void SetUp() override {
        FilterListValue::SetUp();
        spy::Attach(GetModuleHandleW(nullptr));
    }
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        FilterListValue::TearDown();
    }
    // Every key and heap block the edit acquired was released again.
    void ExpectKeysReleased() { EXPECT_EQ("", spy::DescribeHeld()); }
};

TEST_F(FilterListFaults, AReadThatFailsLeavesTheListAndReportsFailure) {
    const List stored = {L"X", L"VtHiber.sys", L"Y"};
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY}) {
        testreg::SetList(kScratch, kValue, stored);
        spy::Clear();
        spy::Fail("RegQueryValueExW", error);
        EXPECT_EQ(error, EditListValue(kScratch, kValue, kName, true));
        spy::Fail("RegQueryValueExW", error);
        EXPECT_EQ(error, EditListValue(kScratch, kValue, kName, false));
        EXPECT_EQ(0, spy::CountOf("RegSetValueExW"));
        ExpectKeysReleased();
        EXPECT_EQ(stored, testreg::ReadList(kScratch, kValue));
    }
}

TEST_F(FilterListFaults, AValueThatKeepsGrowingIsLeftAlone) {
    testreg::SetList(kScratch, kValue, ManyEntries(200));
    spy::Clear();
    spy::Fail("RegQueryValueExW", ERROR_MORE_DATA, nullptr, 0, -1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), EditListValue(kScratch, kValue, kName, true));
    EXPECT_EQ(0, spy::CountOf("RegSetValueExW"));
    EXPECT_LE(spy::CountOf("RegQueryValueExW"), 8);
    ExpectKeysReleased();
    spy::Clear();
    EXPECT_EQ(ManyEntries(200), testreg::ReadList(kScratch, kValue));
}

TEST_F(FilterListFaults, ARefusedWriteIsReportedAndTheKeyClosed) {
    testreg::SetList(kScratch, kValue, {L"X"});
    spy::Clear();
    spy::Fail("RegSetValueExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), EditListValue(kScratch, kValue, kName, true));
    spy::Fail("RegSetValueExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), EditListValue(kScratch, kValue, kName, false));
    EXPECT_EQ(2, spy::CountOf("RegSetValueExW"));
    ExpectKeysReleased();
    EXPECT_EQ(List{L"X"}, testreg::ReadList(kScratch, kValue));
}

}  // namespace
