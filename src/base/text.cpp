#include "base/text.h"

namespace vtpi {

bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        if (FoldAscii(*a) != FoldAscii(*b)) return false;
        if (*a == 0) return true;
    }
}

bool SamePath(const wchar_t* a, const wchar_t* b) {
    for (bool first = true;; ++a, ++b, first = false) {
        if (!first && a[0] == L'\\' && a[1] == L'\\') ++a;
        if (!first && b[0] == L'\\' && b[1] == L'\\') ++b;
        if (FoldAscii(*a) != FoldAscii(*b)) return false;
        if (*a == 0) return true;
    }
}

namespace {

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

bool IsNamespaceOrPipePath(const wchar_t* path) {
    if (!IsSlash(path[0])) return false;
    // "\\.\", "\\?\" and "\??\"; each unit is read only after a non-terminator.
    if (((IsSlash(path[1]) && (path[2] == L'.' || path[2] == L'?')) || (path[1] == L'?' && path[2] == L'?')) &&
        IsSlash(path[3])) {
        return true;
    }
    if (!IsSlash(path[1])) return false;
    // "\\host\pipe", alone or followed by a separator.
    const wchar_t* share = path + 2;
    while (*share && !IsSlash(*share)) ++share;
    const wchar_t* rest = *share ? AfterPrefix(share + 1, L"pipe") : nullptr;
    return rest && (*rest == 0 || IsSlash(*rest));
}

const wchar_t* AfterPrefix(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix) {
        if (FoldAscii(*text) != FoldAscii(*prefix)) return nullptr;
    }
    return text;
}

int32_t BoundedLength(const wchar_t* s, int32_t capacity) {
    for (int32_t i = 0; i < capacity; ++i) {
        if (s[i] == 0) return i;
    }
    return -1;
}

bool CopyString(wchar_t* dst, int32_t capacity, const wchar_t* src) {
    if (capacity <= 0) return false;
    dst[0] = 0;
    return AppendString(dst, capacity, src);
}

bool AppendString(wchar_t* dst, int32_t capacity, const wchar_t* src) {
    const int32_t used = BoundedLength(dst, capacity);
    if (used < 0) return false;
    const int32_t add = BoundedLength(src, capacity - used);
    if (add < 0) return false;  // src plus its terminator does not fit
    for (int32_t i = 0; i <= add; ++i) dst[used + i] = src[i];
    return true;
}

}  // namespace vtpi
