// Multi-string list operations on caller buffers: results, lengths, and that
// nothing beyond a buffer's capacity is read or written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/multisz.h"

using namespace vtpi;

namespace {

using List = std::vector<std::wstring>;
constexpr wchar_t kGuard = 0xFEFE;  // fills the units behind a buffer's capacity

// A buffer of `capacity` units holding `entries`, followed by guard units.
struct Buffer {
    std::vector<wchar_t> units;
    int32_t capacity;

    Buffer(const List& entries, int32_t cap) : units(cap + 8, 0), capacity(cap) {
        size_t pos = 0;
        for (const auto& e : entries) {
            for (wchar_t c : e) units.at(pos++) = c;
            units.at(pos++) = 0;
        }
        for (size_t i = cap; i < units.size(); ++i) units[i] = kGuard;
    }
    wchar_t* data() { return units.data(); }

    List Entries() const {
        List out;
        for (size_t pos = 0; units[pos] != 0; pos += out.back().size() + 1) out.emplace_back(&units[pos]);
        return out;
    }
    bool GuardIntact() const {
        for (size_t i = capacity; i < units.size(); ++i)
            if (units[i] != kGuard) return false;
        return true;
    }
};

TEST(MultiSzLength, CountsEveryNulAndRefusesAnUnterminatedList) {
    EXPECT_EQ(1, MultiSzLength(Buffer({}, 1).data(), 1));
    EXPECT_EQ(13, MultiSzLength(Buffer({L"VtHiber.sys"}, 64).data(), 64));
    EXPECT_EQ(6, MultiSzLength(Buffer({L"AB", L"C"}, 64).data(), 64));
    // Exactly full: "AB\0\0" in four units.
    EXPECT_EQ(4, MultiSzLength(Buffer({L"AB"}, 4).data(), 4));
    // The final NUL would lie behind the capacity.
    EXPECT_EQ(-1, MultiSzLength(Buffer({L"AB"}, 3).data(), 3));
    EXPECT_EQ(-1, MultiSzLength(Buffer({L"ABCD"}, 2).data(), 2));
    EXPECT_EQ(-1, MultiSzLength(Buffer({}, 0).data(), 0));
}

struct RemoveCase {
    const char* what;
    List before;
    List after;
    int removed;
};

TEST(MultiSzRemove, BothVariantsRemoveEveryWholeEntryMatchAndKeepTheOrder) {
    const RemoveCase cases[] = {
        {"empty list", {}, {}, 0},
        {"mixed case copies", {L"X", L"veltrane", L"Y", L"VELTRANE"}, {L"X", L"Y"}, 2},
        {"adjacent copies", {L"VeLtRaNe", L"VELTRANE", L"veltrane", L"Z"}, {L"Z"}, 3},
        {"only copies", {L"VELTRANE", L"veltrane"}, {}, 2},
        {"absent", {L"A", L"B", L"C"}, {L"A", L"B", L"C"}, 0},
        {"prefix, suffix and infix", {L"VELTRANEX", L"XVELTRANE", L"VELTRAN", L"aVELTRANEa"},
         {L"VELTRANEX", L"XVELTRANE", L"VELTRAN", L"aVELTRANEa"}, 0},
        // Only A-Z fold: 0x40/0x60, 0x5B/0x7B and accented letters stay apart.
        {"non-ASCII-letter folding", {L"VELTRAN@", L"VELTRAN\x00C9", L"[VELTRANE"},
         {L"VELTRAN@", L"VELTRAN\x00C9", L"[VELTRANE"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int32_t expectedLength = MultiSzLength(Buffer(c.after, 64).data(), 64);

        Buffer inPlace(c.before, 64);
        int32_t length = -7;
        EXPECT_EQ(c.removed, MultiSzRemoveInPlace(L"VELTRANE", inPlace.data(), inPlace.capacity, &length));
        EXPECT_EQ(expectedLength, length);
        EXPECT_EQ(c.after, inPlace.Entries());
    }
    Buffer accent({L"VELTRAN\x00C9"}, 16);
    int32_t length = 0;
    EXPECT_EQ(0, MultiSzRemoveInPlace(L"veltran\x00E9", accent.data(), 16, &length));
}

TEST(MultiSzRemove, AnUnterminatedListIsRefusedAndLeftAlone) {
    Buffer b({L"VELTRANE", L"X"}, 11);  // needs 12 units
    const auto before = b.units;
    int32_t length = 0;
    EXPECT_EQ(-1, MultiSzRemoveInPlace(L"VELTRANE", b.data(), b.capacity, &length));
    EXPECT_EQ(-1, length);
    EXPECT_EQ(before, b.units);
}

TEST(MultiSzPrepend, PutsTheNameFirstAndKeepsEveryEntry) {
    Buffer empty({}, 16);
    EXPECT_EQ(10, MultiSzPrepend(empty.data(), empty.capacity, L"VELTRANE"));
    EXPECT_EQ(List{L"VELTRANE"}, empty.Entries());

    Buffer xy({L"X", L"Y"}, 32);
    EXPECT_EQ(14, MultiSzPrepend(xy.data(), xy.capacity, L"VELTRANE"));
    EXPECT_EQ((List{L"VELTRANE", L"X", L"Y"}), xy.Entries());
    // No test for a copy already there: callers remove first.
    EXPECT_EQ(23, MultiSzPrepend(xy.data(), xy.capacity, L"VELTRANE"));
    EXPECT_EQ((List{L"VELTRANE", L"VELTRANE", L"X", L"Y"}), xy.Entries());
}

TEST(MultiSzPrepend, RefusesAResultThatDoesNotFitAndWritesNothing) {
    // "X\0Y\0\0" plus "VTFLOP\0" needs exactly 12 units.
    Buffer exact({L"X", L"Y"}, 12);
    EXPECT_EQ(12, MultiSzPrepend(exact.data(), exact.capacity, L"VTFLOP"));
    EXPECT_EQ((List{L"VTFLOP", L"X", L"Y"}), exact.Entries());
    EXPECT_TRUE(exact.GuardIntact());

    Buffer small({L"X", L"Y"}, 11);
    const auto before = small.units;
    EXPECT_EQ(-1, MultiSzPrepend(small.data(), small.capacity, L"VTFLOP"));
    EXPECT_EQ(before, small.units);
}

}  // namespace

namespace {

TEST(MultiSzAppend, PutsTheNameLastAndRefusesWhatDoesNotFit) {
    Buffer empty({}, 16);
    EXPECT_EQ(7, MultiSzAppend(empty.data(), empty.capacity, L"VTDE5"));
    EXPECT_EQ(List{L"VTDE5"}, empty.Entries());

    // "A\0B\0\0" plus "VTDE5\0" needs exactly 11 units.
    Buffer exact({L"A", L"B"}, 11);
    EXPECT_EQ(11, MultiSzAppend(exact.data(), exact.capacity, L"VTDE5"));
    EXPECT_EQ((List{L"A", L"B", L"VTDE5"}), exact.Entries());
    EXPECT_TRUE(exact.GuardIntact());

    Buffer small({L"A", L"B"}, 10);
    const auto before = small.units;
    EXPECT_EQ(-1, MultiSzAppend(small.data(), small.capacity, L"VTDE5"));
    EXPECT_EQ(before, small.units);
}

TEST(MultiSzContains, MatchesWholeEntriesWithAsciiCaseFolded) {
    Buffer list({L"APP1", L"vtde5", L"VTDE55"}, 32);
    EXPECT_TRUE(MultiSzContains(list.data(), list.capacity, L"VTDE5"));
    EXPECT_TRUE(MultiSzContains(list.data(), list.capacity, L"app1"));
    EXPECT_FALSE(MultiSzContains(list.data(), list.capacity, L"VTDE"));
    EXPECT_FALSE(MultiSzContains(Buffer({}, 1).data(), 1, L"VTDE5"));
    // Unterminated within the capacity: never read past it.
    EXPECT_FALSE(MultiSzContains(Buffer({L"VTDE5"}, 6).data(), 6, L"VTDE5"));
}

}  // namespace
