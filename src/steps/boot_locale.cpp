#include "steps/boot_locale.h"

#include "base/files.h"
#include "base/owner.h"
#include "base/text.h"
#include "base/trace.h"

namespace vtpi {

namespace {

const wchar_t* const kDeviceRoot = L"\\\\.\\VeltraneFS";
const wchar_t* const kNetworkRoot = L"\\\\Veltrane\\Vtfs";
const wchar_t* const kProbeFile = L"\\Disk\\OrigMbr.dat";

const wchar_t* const kSection = L"Locale";
const wchar_t* const kMapSection = L"LanguageIdMap";
const wchar_t* const kDefaultCode = L"0409";
constexpr int32_t kValueUnits = 1024;
constexpr int32_t kMapKeyUnits = 80;

// Looks `id` up under the map key format (e.g. "%04x.Language"), then its low
// 8 bits; the default code when neither gives one.
void LookUpCode(const wchar_t* localeMap, const wchar_t* keyFormat, uint32_t id, wchar_t* code, int32_t capacity) {
    if (capacity <= 0) return;
    code[0] = 0;
    const uint32_t candidates[] = {id, id & 0xFFu};
    for (uint32_t candidate : candidates) {
        wchar_t key[kMapKeyUnits];
        wsprintfW(key, keyFormat, candidate);
        GetPrivateProfileStringW(kMapSection, key, L"", code, capacity, localeMap);
        if (code[0] != 0) return;
    }
    CopyString(code, capacity, kDefaultCode);
}

// Reads one hexadecimal number of at most eight digits, after optional white
// space and an optional 0x, as "%08x" does; false when there is none.
bool ScanHex32(const wchar_t* text, uint32_t* value) {
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) ++text;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) text += 2;
    uint32_t result = 0;
    int digits = 0;
    for (; digits < 8; ++digits, ++text) {
        const wchar_t c = FoldAscii(*text);
        if (c >= L'0' && c <= L'9') {
            result = result << 4 | (c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            result = result << 4 | (c - L'a' + 10);
        } else {
            break;
        }
    }
    *value = result;
    return digits > 0;
}

// Writes the looked-up code when the entry is missing or empty, and flushes
// the system's cached copy of the file after the write.
void EnsureEntry(const wchar_t* file, const wchar_t* key, const wchar_t* localeMap,
                 void (*lookUp)(const wchar_t*, wchar_t*, int32_t)) {
    wchar_t value[kValueUnits];
    GetPrivateProfileStringW(kSection, key, L"", value, kValueUnits, file);
    if (value[0] != 0) {
        Trace("  Bootcode.ini %s: set already", key);
        return;
    }
    lookUp(localeMap, value, kValueUnits);
    const BOOL written = WritePrivateProfileStringW(kSection, key, value, file);
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, file);
    Trace("  Bootcode.ini %s: filled with %.64s%s", key, value, written ? L"" : L" (not written)");
}

// Whether the root's probe file opens; the root goes into `root` when it does.
bool ProbeRoot(const wchar_t* candidate, wchar_t* root, int32_t capacity) {
    wchar_t probe[64];
    CopyString(probe, 64, candidate);
    AppendString(probe, 64, kProbeFile);
    const FileHandle file(
        CreateFileW(probe, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && CopyString(root, capacity, candidate);
}

}  // namespace

bool FindEncryptedFsRoot(wchar_t* root, int32_t capacity) {
    for (int32_t i = 0; i < capacity; ++i) root[i] = 0;
    if (ProbeRoot(kDeviceRoot, root, capacity)) return true;
    // The network root only where the client's file system is on this
    // machine, its device root there: otherwise whoever answers the name
    // "Veltrane" would get the elevated caller's credentials.
    DWORD attributes;
    const DWORD device = ProbeEntry(kDeviceRoot, 0, &attributes);
    if (device == ERROR_FILE_NOT_FOUND || device == ERROR_PATH_NOT_FOUND) {
        Trace("  no %s on this machine: %s not probed", kDeviceRoot, kNetworkRoot);
        return false;
    }
    return ProbeRoot(kNetworkRoot, root, capacity);
}

void EnsureBootLocale(const wchar_t* localeMap, const wchar_t* root) {
    wchar_t file[MAX_PATH];
    if (!CopyString(file, MAX_PATH, root) || !AppendString(file, MAX_PATH, L"\\Boot\\Bootcode.ini")) return;
    EnsureEntry(file, L"Keyboard", localeMap, LookupKeyboardCode);
    EnsureEntry(file, L"Language", localeMap, LookupLanguageCode);
}

DWORD FillBootLocale(const wchar_t* localeMap) {
    wchar_t root[MAX_PATH];
    if (FindEncryptedFsRoot(root, MAX_PATH)) {
        Trace("encrypted file system: %s", root);
        EnsureBootLocale(localeMap, root);
    } else {
        Trace("encrypted file system: not found, no pre-boot locale");
    }
    return ERROR_SUCCESS;
}

void LookupLanguageCode(const wchar_t* localeMap, wchar_t* code, int32_t capacity) {
    LookUpCode(localeMap, L"%04x.Language", GetSystemDefaultLangID(), code, capacity);
}

void LookupKeyboardCode(const wchar_t* localeMap, wchar_t* code, int32_t capacity) {
    wchar_t name[KL_NAMELENGTH + 1] = {};
    GetKeyboardLayoutNameW(name);
    uint32_t layout = 0;
    // A name that is not one hexadecimal number stands for the thread's
    // layout handle, whose low 16 bits are a language identifier.
    if (!ScanHex32(name, &layout)) {
        layout = LOWORD(reinterpret_cast<ULONG_PTR>(GetKeyboardLayout(0)));
    }
    LookUpCode(localeMap, L"%04x.Keyboard", layout, code, capacity);
}

}  // namespace vtpi
