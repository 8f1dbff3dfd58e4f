#include "filters/filter_list.h"

#include "base/diagnostics.h"
#include "base/os_version.h"
#include "base/text.h"
#include "filters/multisz.h"

namespace vtpi {

namespace {

// The usual filter list fits the first read; larger ones grow the buffer.
constexpr DWORD kInitialReadBytes = 2048;
// A value that keeps growing between the size report and the read gives up.
constexpr int kReadAttempts = 4;

bool AllocateListBuffer(HeapBlock& list, DWORD dataBytes, int spareUnits) {
    // Data rounded up to whole units, the spare units, and two zero units.
    const SIZE_T units = (static_cast<SIZE_T>(dataBytes) + 1) / 2 + spareUnits + 2;
    return list.Allocate(units * sizeof(wchar_t));
}

}  // namespace

ListRead ReadListValue(HKEY key, const wchar_t* valueName, int spareUnits, HeapBlock& list) {
    DWORD capacity = kInitialReadBytes;
    LONG rc = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (!AllocateListBuffer(list, capacity, spareUnits)) {
            NoteError(ERROR_NOT_ENOUGH_MEMORY);
            return ListRead::Failed;
        }
        DWORD size = capacity;
        rc = RegQueryValueExW(key, valueName, nullptr, nullptr, static_cast<BYTE*>(list.get()), &size);
        if (rc == ERROR_SUCCESS) return ListRead::Present;
        if (rc == ERROR_FILE_NOT_FOUND) {
            ZeroMemory(list.get(), list.bytes());  // the empty list
            return ListRead::Absent;
        }
        if (rc != ERROR_MORE_DATA) break;
        capacity = size > capacity ? size : capacity * 2;
    }
    list.Free();
    NoteError(static_cast<DWORD>(rc));
    return ListRead::Failed;
}

bool ReadListWithout(HKEY key, const wchar_t* valueName, const wchar_t* filterName,
                     HeapBlock& list) {
    const int32_t nameUnits = BoundedLength(filterName, MAX_PATH);
    if (nameUnits < 0) return NoteError(ERROR_INVALID_PARAMETER);
    const ListRead read = ReadListValue(key, valueName, nameUnits + 1, list);
    if (read == ListRead::Failed) return false;
    wchar_t label[64];
    wsprintfW(label, read == ListRead::Absent ? L"  %.40s absent, read as" : L"  %.40s before", valueName);
    TraceList(label, list.units(), list.unitCapacity());
    if (MultiSzRemoveAll(list.units(), list.unitCapacity(), filterName) <= 0) return NoteError(ERROR_INVALID_DATA);
    return true;
}

bool WriteList(HKEY key, const wchar_t* valueName, HeapBlock& list, const wchar_t* frontName) {
    if (frontName && MultiSzPrepend(list.units(), list.unitCapacity(), frontName) < 0) {
        return NoteError(ERROR_INSUFFICIENT_BUFFER);
    }
    const int32_t length = MultiSzLength(list.units(), list.unitCapacity());
    if (length < 0) return NoteError(ERROR_INVALID_DATA);
    const LONG rc = RegSetValueExW(key, valueName, 0, REG_MULTI_SZ, static_cast<const BYTE*>(list.get()),
                                   static_cast<DWORD>(length) * sizeof(wchar_t));
    if (rc != ERROR_SUCCESS) return NoteError(rc);
    wchar_t label[64];
    wsprintfW(label, L"  %.40s after", valueName);
    TraceList(label, list.units(), list.unitCapacity());
    return true;
}

namespace {

// The value edit on an existing key below HKEY_LOCAL_MACHINE.
bool EditFilterListAt(const wchar_t* subKey, const wchar_t* valueName, const wchar_t* filterName,
                      bool install) {
    RegKey key;
    const LONG rc = RegOpenKeyW(HKEY_LOCAL_MACHINE, subKey, key.receive());
    if (rc != ERROR_SUCCESS) return NoteError(rc);
    HeapBlock list;
    if (!ReadListWithout(key.get(), valueName, filterName, list)) return false;
    return WriteList(key.get(), valueName, list, install ? filterName : nullptr);
}

}  // namespace

bool AddToFilterList(const wchar_t* subKey, const wchar_t* valueName, const wchar_t* filterName) {
    return EditFilterListAt(subKey, valueName, filterName, true);
}

bool RemoveFromFilterList(const wchar_t* subKey, const wchar_t* valueName,
                          const wchar_t* filterName) {
    return EditFilterListAt(subKey, valueName, filterName, false);
}

bool UpdateFloppyClassFilter(int install) {
    if (!IsWindows2000OrLater()) return true;
    return EditFilterListAt(kFloppyClassKey, kUpperFiltersValue, kFloppyFilterName, install != 0);
}

}  // namespace vtpi
