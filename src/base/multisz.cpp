#include "base/multisz.h"

#include "base/text.h"

namespace vtpi {

namespace {

// Whole-entry match with the ASCII letters A-Z folded; no locale.
bool MultiSzEntryMatches(const wchar_t* entry, const wchar_t* name) {
    return EqualsIgnoringAsciiCase(entry, name);
}

}  // namespace

int32_t MultiSzLength(const wchar_t* list, int32_t capacity) {
    int32_t pos = 0;
    while (pos < capacity && list[pos] != 0) {
        const int32_t entry = BoundedLength(list + pos, capacity - pos);
        if (entry < 0) return -1;
        pos += entry + 1;
    }
    return pos < capacity ? pos + 1 : -1;
}

int32_t MultiSzRemoveInPlace(const wchar_t* name, wchar_t* list, int32_t capacity,
                             int32_t* length) {
    int32_t total = MultiSzLength(list, capacity);
    *length = total;
    if (total < 0) return -1;

    int32_t removed = 0;
    int32_t pos = 0;
    while (list[pos] != 0) {
        const int32_t n = BoundedLength(list + pos, total - pos) + 1;
        if (MultiSzEntryMatches(list + pos, name)) {
            // Move the later entries and the final NUL onto this one; the next
            // entry then stands at `pos` and is tested in turn.
            for (int32_t i = pos; i + n < total; ++i) list[i] = list[i + n];
            total -= n;
            ++removed;
        } else {
            pos += n;
        }
    }
    *length = total;
    return removed;
}

int32_t MultiSzAppend(wchar_t* list, int32_t capacity, const wchar_t* name) {
    const int32_t length = MultiSzLength(list, capacity);
    if (length < 0) return -1;
    const int32_t nameLength = BoundedLength(name, capacity);
    if (nameLength < 0) return -1;
    if (nameLength == 0) return length;
    if (length + nameLength + 1 > capacity) return -1;
    // The name and its NUL go over the final NUL; a new final NUL follows.
    wchar_t* end = list + length - 1;
    for (int32_t i = 0; i <= nameLength; ++i) end[i] = name[i];
    end[nameLength + 1] = 0;
    return length + nameLength + 1;
}

bool MultiSzContains(const wchar_t* list, int32_t capacity, const wchar_t* name) {
    if (MultiSzLength(list, capacity) < 0) return false;
    for (int32_t pos = 0; list[pos] != 0; pos += BoundedLength(list + pos, capacity - pos) + 1) {
        if (MultiSzEntryMatches(list + pos, name)) return true;
    }
    return false;
}

int32_t MultiSzPrepend(wchar_t* list, int32_t capacity, const wchar_t* name) {
    const int32_t length = MultiSzLength(list, capacity);
    if (length < 0) return -1;
    const int32_t nameLength = BoundedLength(name, capacity);
    if (nameLength < 0) return -1;
    if (nameLength == 0) return length;  // an empty entry would end the list
    const int32_t shift = nameLength + 1;
    if (length > capacity - shift) return -1;

    for (int32_t i = length - 1; i >= 0; --i) list[i + shift] = list[i];
    for (int32_t i = 0; i < shift; ++i) list[i] = name[i];
    return length + shift;
}

}  // namespace vtpi
