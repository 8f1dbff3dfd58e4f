// Multi-string lists: the REG_MULTI_SZ layout.
//
// A list is a run of non-empty NUL-terminated entries followed by one more NUL;
// the empty list is a single NUL. Lengths are in UTF-16 units and count every
// NUL, so a list's stored byte size is twice its length.
//
// Every operation takes the capacity of the caller's buffer in units and never
// reads or writes beyond it. A list whose final NUL does not lie within the
// capacity is refused with -1 and left untouched; so is an edit whose result
// would not fit. Callers must not store a list after a refusal.
#pragma once

#include <stdint.h>

namespace vtpi {

// The list's length, at least 1; -1 when it has no final NUL within capacity.
int32_t MultiSzLength(const wchar_t* list, int32_t capacity);

// Puts `name` in front of the list's entries (without checking for a copy
// already there). Returns the new length, or -1 when it would not fit.
int32_t MultiSzPrepend(wchar_t* list, int32_t capacity, const wchar_t* name);

// Puts `name` behind the list's last entry. Returns the new length, or -1
// when it would not fit.
int32_t MultiSzAppend(wchar_t* list, int32_t capacity, const wchar_t* name);

// True when an entry matches `name` (ASCII letters folded); false also for a
// list without its final NUL within capacity.
bool MultiSzContains(const wchar_t* list, int32_t capacity, const wchar_t* name);

// Removes every entry matching `name` (ASCII letters folded, no locale) by
// moving the rest of the list down, keeping the others in order.
// Sets *length to the new length and returns the number of entries removed;
// on refusal returns -1 and sets *length to -1.
int32_t MultiSzRemoveInPlace(const wchar_t* name, wchar_t* list, int32_t capacity,
                             int32_t* length);

}  // namespace vtpi
