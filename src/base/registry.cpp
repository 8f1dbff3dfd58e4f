#include "base/registry.h"

#include "base/multisz.h"
#include "base/text.h"
#include "base/trace.h"

namespace vtpi {

namespace {

// The usual list fits the first read; larger ones grow the buffer.
constexpr DWORD kInitialReadBytes = 2048;
// A value that keeps growing between the size report and the read gives up.
constexpr int kReadAttempts = 4;

bool AllocateListBuffer(HeapBlock& list, DWORD dataBytes, int spareUnits) {
    // Data rounded up to whole units, the spare units, and two zero units.
    const SIZE_T units = (static_cast<SIZE_T>(dataBytes) + 1) / 2 + spareUnits + 2;
    return list.Allocate(units * sizeof(wchar_t));
}

}  // namespace

DWORD ReadListValue(HKEY key, const wchar_t* valueName, int spareUnits, HeapBlock& list) {
    DWORD capacity = kInitialReadBytes;
    LONG rc = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (!AllocateListBuffer(list, capacity, spareUnits)) return ERROR_NOT_ENOUGH_MEMORY;
        DWORD size = capacity;
        rc = RegQueryValueExW(key, valueName, nullptr, nullptr, static_cast<BYTE*>(list.get()), &size);
        if (rc == ERROR_SUCCESS) return ERROR_SUCCESS;
        if (rc == ERROR_FILE_NOT_FOUND) {
            ZeroMemory(list.get(), list.bytes());  // the empty list
            return ERROR_FILE_NOT_FOUND;
        }
        if (rc != ERROR_MORE_DATA) break;
        capacity = size > capacity ? size : capacity * 2;
    }
    list.Free();
    return rc;
}

DWORD ReadListWithout(HKEY key, const wchar_t* valueName, const wchar_t* name, HeapBlock& list) {
    const int32_t nameUnits = BoundedLength(name, MAX_PATH);
    if (nameUnits < 0) return ERROR_INVALID_PARAMETER;
    const DWORD read = ReadListValue(key, valueName, nameUnits + 1, list);
    if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return read;
    wchar_t label[64];
    wsprintfW(label, read == ERROR_FILE_NOT_FOUND ? L"  %.40s absent, read as" : L"  %.40s before", valueName);
    TraceList(label, list.units(), list.unitCapacity());
    int32_t length = 0;
    MultiSzRemoveInPlace(name, list.units(), list.unitCapacity(), &length);
    return length > 0 ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

DWORD WriteList(HKEY key, const wchar_t* valueName, HeapBlock& list, const wchar_t* frontName) {
    if (frontName && MultiSzPrepend(list.units(), list.unitCapacity(), frontName) < 0) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const int32_t length = MultiSzLength(list.units(), list.unitCapacity());
    if (length < 0) return ERROR_INVALID_DATA;
    const LONG rc = RegSetValueExW(key, valueName, 0, REG_MULTI_SZ, static_cast<const BYTE*>(list.get()),
                                   static_cast<DWORD>(length) * sizeof(wchar_t));
    if (rc != ERROR_SUCCESS) return rc;
    wchar_t label[64];
    wsprintfW(label, L"  %.40s after", valueName);
    TraceList(label, list.units(), list.unitCapacity());
    return ERROR_SUCCESS;
}

DWORD EditListValue(const wchar_t* subKey, const wchar_t* valueName, const wchar_t* name, bool putFirst) {
    RegKey key;
    const LONG rc = RegOpenKeyW(HKEY_LOCAL_MACHINE, subKey, key.receive());
    if (rc != ERROR_SUCCESS) return rc;
    HeapBlock list;
    const DWORD read = ReadListWithout(key.get(), valueName, name, list);
    if (read != ERROR_SUCCESS) return read;
    return WriteList(key.get(), valueName, list, putFirst ? name : nullptr);
}

LONG CreateKey(HKEY parent, const wchar_t* name, REGSAM view, RegKey& key) {
    DWORD disposition;
    return RegCreateKeyExW(parent, name, 0, const_cast<wchar_t*>(L""), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | view,
                           nullptr, key.receive(), &disposition);
}

bool ReadRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, void* data, DWORD size,
                       REGSAM view) {
    RegKey key;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ | view, key.receive()) != ERROR_SUCCESS) return false;
    return RegQueryValueExW(key.get(), valueName, nullptr, nullptr, static_cast<BYTE*>(data), &size) ==
           ERROR_SUCCESS;
}

bool DeleteRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, REGSAM view) {
    RegKey key;
    if (CreateKey(root, subKey, view, key) != ERROR_SUCCESS) return false;
    return RegDeleteValueW(key.get(), valueName) == ERROR_SUCCESS;
}

bool SubkeyExists(HKEY key, const wchar_t* name) {
    wchar_t subkey[kKeyNameUnits];
    for (DWORD index = 0; RegEnumKeyW(key, index, subkey, kKeyNameUnits) == ERROR_SUCCESS; ++index) {
        if (EqualsIgnoringAsciiCase(subkey, name)) return true;
    }
    return false;
}

}  // namespace vtpi
