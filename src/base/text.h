// Bounded UTF-16 string helpers. Every writer takes the destination's capacity
// in units (terminator included) and refuses, leaving the destination a valid
// string, rather than write past it.
#pragma once

#include <stdint.h>

namespace vtpi {

// Folds only the ASCII capitals A-Z; names here are compared without a locale.
inline wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

// Whole-string equality with ASCII letters folded.
bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b);

// Whether two paths name the same file the way Windows compares them: ASCII
// letters folded, and a backslash doubled (by a folder given with a trailing
// one) counted once. The leading two of a UNC path are kept apart.
bool SamePath(const wchar_t* a, const wchar_t* b);

// Whether `path` is, by its form, no path of a file or folder on a disk: a
// device or namespace path ("\\.\...", "\\?\...", "\??\..."), or a pipe on
// any host ("\\host\pipe\..."), either slash a separator.
bool IsNamespaceOrPipePath(const wchar_t* path);

// What follows `prefix` at the start of `text`, ASCII letter case ignored;
// null when `text` does not start with it.
const wchar_t* AfterPrefix(const wchar_t* text, const wchar_t* prefix);

// Length of `s`, or -1 when no terminator lies within `capacity` units.
int32_t BoundedLength(const wchar_t* s, int32_t capacity);

// Copies `src` into `dst`; false (dst left empty) when it does not fit.
bool CopyString(wchar_t* dst, int32_t capacity, const wchar_t* src);

// Appends `src` to the string in `dst`; false (dst unchanged) when it does not fit.
bool AppendString(wchar_t* dst, int32_t capacity, const wchar_t* src);

}  // namespace vtpi
