#include "steps/tray_application.h"

#include <shlobj.h>

#include "base/files.h"
#include "base/multisz.h"
#include "base/registry.h"
#include "base/shell_folders.h"
#include "base/system_library.h"
#include "base/text.h"
#include "base/trace.h"
#include "base/wow64.h"

namespace vtpi {

namespace {

constexpr const wchar_t* kCurrentVersionKey = L"Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const wchar_t* kProgramFilesValue = L"ProgramFilesDir";

// True when the subkey's "Path" value equals `filePath`; a value that does not
// fit MAX_PATH units with its terminator never matches.
bool PathMatches(HKEY entry, const wchar_t* filePath) {
    wchar_t stored[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH * sizeof(wchar_t);
    if (RegQueryValueExW(entry, L"Path", nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &size) != ERROR_SUCCESS) {
        return false;
    }
    return BoundedLength(stored, MAX_PATH) >= 0 && EqualsIgnoringAsciiCase(stored, filePath);
}

// Opens the first subkey, in enumeration order, whose "Path" is `filePath`.
bool FindEntry(HKEY sharedKey, const wchar_t* filePath, RegKey& entry) {
    wchar_t name[kKeyNameUnits];
    for (DWORD index = 0; RegEnumKeyW(sharedKey, index, name, kKeyNameUnits) == ERROR_SUCCESS; ++index) {
        if (RegOpenKeyW(sharedKey, name, entry.receive()) != ERROR_SUCCESS) continue;
        if (PathMatches(entry.get(), filePath)) {
            Trace("  shared-files entry %s: found", name);
            return true;
        }
        entry.Close();
    }
    return false;
}

// Appends `appId` to the entry's "AppIds" unless it is listed already. A list
// that cannot be read is left as it is.
void AddApplicationId(HKEY entry, const wchar_t* appId) {
    const int32_t idUnits = BoundedLength(appId, MAX_PATH);
    if (idUnits < 0) return;
    HeapBlock list;
    const DWORD read = ReadListValue(entry, L"AppIds", idUnits + 1, list);
    if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return;
    TraceList(L"  AppIds before", list.units(), list.unitCapacity());
    if (MultiSzContains(list.units(), list.unitCapacity(), appId)) return;
    const int32_t length = MultiSzAppend(list.units(), list.unitCapacity(), appId);
    if (length < 0) return;
    if (RegSetValueExW(entry, L"AppIds", 0, REG_MULTI_SZ, static_cast<const BYTE*>(list.get()),
                       static_cast<DWORD>(length) * sizeof(wchar_t)) == ERROR_SUCCESS) {
        TraceList(L"  AppIds after", list.units(), list.unitCapacity());
    }
}

// Whether "Entry<n>" is free: absent, or left without a "Path" by a call
// that ended between its creation and its first value.
bool IsFreeEntry(HKEY sharedKey, const wchar_t* name) {
    if (!SubkeyExists(sharedKey, name)) return true;
    RegKey entry;
    return RegOpenKeyW(sharedKey, name, entry.receive()) == ERROR_SUCCESS &&
           RegQueryValueExW(entry.get(), L"Path", nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND;
}

// Makes "Entry<n>" with the lowest free n, holding the path and the id.
void CreateEntry(HKEY sharedKey, const wchar_t* filePath, const wchar_t* appId) {
    const int32_t pathUnits = BoundedLength(filePath, MAX_PATH);
    const int32_t idUnits = BoundedLength(appId, MAX_PATH);
    HeapBlock list;
    if (pathUnits < 0 || idUnits < 0 || !list.Allocate((idUnits + 2) * sizeof(wchar_t))) return;
    const int32_t length = MultiSzAppend(list.units(), list.unitCapacity(), appId);

    wchar_t name[kKeyNameUnits];
    for (int n = 1;; ++n) {
        wsprintfW(name, L"Entry%d", n);
        if (IsFreeEntry(sharedKey, name)) break;
    }
    RegKey entry;
    if (CreateKey(sharedKey, name, 0, entry) != ERROR_SUCCESS) return;
    Trace("  shared-files entry %s: new", name);
    RegSetValueExW(entry.get(), L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(filePath),
                   static_cast<DWORD>(pathUnits + 1) * sizeof(wchar_t));
    RegSetValueExW(entry.get(), L"AppIds", 0, REG_MULTI_SZ, static_cast<const BYTE*>(list.get()),
                   static_cast<DWORD>(length) * sizeof(wchar_t));
}

// The Program Files folder: from the shell, else the registry, else the
// usual default.
void GetProgramFilesFolder(wchar_t* path) {
    if (GetSpecialFolderPath(CSIDL_PROGRAM_FILES, path)) return;
    ZeroMemory(path, MAX_PATH * sizeof(wchar_t));
    if (ReadRegistryValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kProgramFilesValue, path, MAX_PATH * sizeof(wchar_t)) &&
        BoundedLength(path, MAX_PATH) > 0) {
        return;
    }
    CopyString(path, MAX_PATH, L"C:\\Program Files");
}

// Under WoW64 the folder above is the 32-bit one; a 64-bit client keeps the
// tray application in the native folder, which the registry's 64-bit view
// names. Points `tray` there when the application exists there.
bool UseNativeTrayApplication(wchar_t* tray) {
    if (!IsWow64()) return false;
    wchar_t native[MAX_PATH] = {};
    if (!ReadRegistryValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kProgramFilesValue, native,
                           (MAX_PATH - 1) * sizeof(wchar_t), KEY_WOW64_64KEY) ||
        BoundedLength(native, MAX_PATH) <= 0 || !AppendString(native, MAX_PATH, kTrayApplication) ||
        !IsExistingFile(native)) {
        return false;
    }
    return CopyString(tray, MAX_PATH, native);
}

}  // namespace

DWORD RegisterTrayApplication(const InstallPaths& paths) {
    wchar_t tray[MAX_PATH];
    GetProgramFilesFolder(tray);
    if (!AppendString(tray, MAX_PATH, kTrayApplication)) return ERROR_BUFFER_OVERFLOW;
    if (IsExistingFile(tray) || UseNativeTrayApplication(tray)) {
        Trace("tray application: %s", tray);
        RegisterSharedFile(tray, kApplicationId);
    } else {
        Trace("tray application: %s absent, not in the shared-files list", tray);
    }

    const BOOL listed = WritePrivateProfileStringW(tray, L"AppId", kApplicationId, paths.fileList);
    const DWORD error = listed ? ERROR_SUCCESS : LastErrorOrGeneric();
    Trace("  VTFILES41.LST: %s", listed ? L"listed" : L"not written");
    return error;
}

void RegisterSharedFile(const wchar_t* filePath, const wchar_t* appId) {
    if (appId[0] == 0) return;
    RegKey sharedKey;
    if (CreateKey(HKEY_LOCAL_MACHINE, kSharedFilesKey, 0, sharedKey) != ERROR_SUCCESS) return;
    RegKey entry;
    if (FindEntry(sharedKey.get(), filePath, entry)) {
        AddApplicationId(entry.get(), appId);
    } else {
        CreateEntry(sharedKey.get(), filePath, appId);
    }
}

}  // namespace vtpi
