// Randomised lists against a small model: the list operations in memory and
// the value edit on the real registry must give exactly the model's list.
#include <gtest/gtest.h>

#include <random>

#include "base/multisz.h"
#include "base/registry.h"
#include "registry.h"

using namespace vtpi;
using testreg::List;

namespace {

const wchar_t* const kName = L"VtHiber.sys";

bool ModelMatches(const std::wstring& entry, const std::wstring& name) {
    if (entry.size() != name.size()) return false;
    for (size_t i = 0; i < entry.size(); ++i) {
        auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c + 32) : c; };
        if (fold(entry[i]) != fold(name[i])) return false;
    }
    return true;
}

List ModelEdit(const List& list, bool install) {
    List out;
    if (install) out.push_back(kName);
    for (const auto& e : list) {
        if (!ModelMatches(e, kName)) out.push_back(e);
    }
    return out;
}

// Random lists: case variants of the name, near misses, long entries, and
// sizes around and well above the first read's 2048 bytes.
class ListGenerator {
public:
    explicit ListGenerator(unsigned seed) : random_(seed) {}

    std::wstring Entry() {
        switch (Pick(6)) {
            case 0: return CaseVariant(kName);
            case 1: return CaseVariant(kName) + Char();  // near miss
            case 2: return std::wstring(1 + Pick(400), Char());
            default: {
                std::wstring s;
                for (unsigned n = 1 + Pick(16); n > 0; --n) s += Char();
                return s;
            }
        }
    }
    List Make() {
        List list;
        const size_t targetUnits = std::vector<size_t>{0, 16, 1000, 1024, 1030, 3000, 20000}[Pick(7)];
        size_t units = 1;
        while (units < targetUnits) {
            list.push_back(Entry());
            units += list.back().size() + 1;
        }
        return list;
    }
    unsigned Pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

private:
    // Printable ASCII plus letters either side of the folded range and a
    // few non-ASCII units; never NUL.
    wchar_t Char() {
        static const wchar_t extra[] = {0x00C9, 0x00E9, 0x0130, 0x212A, 0xFFFF, L'@', L'[', L'`', L'{'};
        if (Pick(8) == 0) return extra[Pick(9)];
        return static_cast<wchar_t>(L' ' + 1 + Pick(94));
    }
    std::wstring CaseVariant(std::wstring s) {
        for (wchar_t& c : s) {
            if (Pick(2)) c = static_cast<wchar_t>(towupper(c));
            else c = static_cast<wchar_t>(towlower(c));
        }
        return s;
    }
    std::mt19937 random_;
};

std::vector<wchar_t> Units(const List& list, size_t capacity) {
    std::vector<wchar_t> units(capacity, 0);
    size_t pos = 0;
    for (const auto& e : list) {
        std::copy(e.begin(), e.end(), units.begin() + pos);
        pos += e.size() + 1;
    }
    return units;
}

List Entries(const std::vector<wchar_t>& units) {
    List out;
    for (size_t pos = 0; units[pos]; pos += out.back().size() + 1) out.emplace_back(&units[pos]);
    return out;
}

TEST(ListModel, InMemoryOperationsMatchTheModel) {
    ListGenerator generate(20261207);
    for (int i = 0; i < 5000; ++i) {
        const List list = generate.Make();
        size_t units = 1;
        for (const auto& e : list) units += e.size() + 1;
        // Room for the name in front, and at most two units more.
        const size_t capacity = units + 12 + generate.Pick(3);
        std::vector<wchar_t> buffer = Units(list, capacity);
        ASSERT_EQ(static_cast<int32_t>(units), MultiSzLength(buffer.data(), capacity));

        const List removed = ModelEdit(list, false);
        int32_t length = 0;
        const int32_t count = MultiSzRemoveInPlace(kName, buffer.data(), capacity, &length);
        ASSERT_EQ(static_cast<int32_t>(list.size() - removed.size()), count);
        ASSERT_EQ(removed, Entries(buffer));
        ASSERT_EQ(length, MultiSzLength(buffer.data(), capacity));

        const int32_t prepended = MultiSzPrepend(buffer.data(), capacity, kName);
        ASSERT_EQ(length + 12, prepended);  // always fits: 12 units were kept free
        ASSERT_EQ(ModelEdit(list, true), Entries(buffer));
    }
}

TEST(ListModel, TheValueEditMatchesTheModelOnTheRegistry) {
    const wchar_t* key = L"SOFTWARE\\VtPostInstallTests\\Model";
    testreg::DeleteTree(L"SOFTWARE\\VtPostInstallTests");
    testreg::CreateKey(key);
    ListGenerator generate(7);
    for (int i = 0; i < 2000; ++i) {
        const List list = generate.Make();
        const bool install = generate.Pick(2) != 0;
        testreg::SetList(key, L"DumpFilters", list);
        ASSERT_EQ(0u, EditListValue(key, L"DumpFilters", kName, install));
        const testreg::Stored stored = testreg::ReadValue(key, L"DumpFilters");
        ASSERT_EQ(testreg::MultiSzBytes(ModelEdit(list, install)), stored.bytes) << "iteration " << i;
        ASSERT_EQ(static_cast<DWORD>(REG_MULTI_SZ), stored.type);
    }
    testreg::DeleteTree(L"SOFTWARE\\VtPostInstallTests");
}

}  // namespace
