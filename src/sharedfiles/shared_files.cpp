#include "sharedfiles/shared_files.h"

#include <shlobj.h>

#include "base/diagnostics.h"
#include "base/handles.h"
#include "base/system_library.h"
#include "base/text.h"
#include "base/wow64.h"
#include "filters/filter_list.h"
#include "filters/multisz.h"

namespace vtpi {

namespace {

// The registry's longest key name, and its terminator.
constexpr DWORD kKeyNameUnits = 256;

constexpr const wchar_t* kCurrentVersionKey = L"Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const wchar_t* kProgramFilesValue = L"ProgramFilesDir";

LONG CreateKey(HKEY parent, const wchar_t* name, RegKey& key) {
    DWORD disposition;
    return RegCreateKeyExW(parent, name, 0, const_cast<wchar_t*>(L""), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, key.receive(), &disposition);
}

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
            Trace(L"  shared-files entry %s: found", name);
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
    if (ReadListValue(entry, L"AppIds", idUnits + 1, list) == ListRead::Failed) return;
    TraceList(L"  AppIds before", list.units(), list.unitCapacity());
    if (MultiSzContains(list.units(), list.unitCapacity(), appId)) return;
    const int32_t length = MultiSzAppend(list.units(), list.unitCapacity(), appId);
    if (length < 0) return;
    if (RegSetValueExW(entry, L"AppIds", 0, REG_MULTI_SZ, static_cast<const BYTE*>(list.get()),
                       static_cast<DWORD>(length) * sizeof(wchar_t)) == ERROR_SUCCESS) {
        TraceList(L"  AppIds after", list.units(), list.unitCapacity());
    }
}

// Makes "Entry<n>" with the lowest n not taken, holding the path and the id.
void CreateEntry(HKEY sharedKey, const wchar_t* filePath, const wchar_t* appId) {
    const int32_t pathUnits = BoundedLength(filePath, MAX_PATH);
    const int32_t idUnits = BoundedLength(appId, MAX_PATH);
    HeapBlock list;
    if (pathUnits < 0 || idUnits < 0 || !list.Allocate((idUnits + 2) * sizeof(wchar_t))) return;
    const int32_t length = MultiSzAppend(list.units(), list.unitCapacity(), appId);

    wchar_t name[kKeyNameUnits];
    for (int n = 1;; ++n) {
        wsprintfW(name, L"Entry%d", n);
        if (!SubkeyExists(sharedKey, name)) break;
    }
    RegKey entry;
    if (CreateKey(sharedKey, name, entry) != ERROR_SUCCESS) return;
    Trace(L"  shared-files entry %s: new", name);
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

// Frees an ID list with the shell's ILFree, which shell32 exports by name
// only from version 5.0 (Windows 2000 and ME) on, and as ordinal 155 always.
void FreeIdListWithShell(LPITEMIDLIST idList) {
    const HMODULE shell32 = GetModuleHandleA("shell32.dll");
    void(WINAPI * ilFree)(LPITEMIDLIST) = nullptr;
    if (shell32 && LookUp(shell32, MAKEINTRESOURCEA(155), ilFree)) ilFree(idList);
}

}  // namespace

void RegisterTrayApplication(const wchar_t* installDir) {
    wchar_t tray[MAX_PATH];
    GetProgramFilesFolder(tray);
    if (!AppendString(tray, MAX_PATH, kTrayApplication)) return;
    if (IsExistingFile(tray) || UseNativeTrayApplication(tray)) {
        Trace(L"tray application: %s", tray);
        RegisterSharedFile(tray, kApplicationId);
    } else {
        Trace(L"tray application: %s absent, not in the shared-files list", tray);
    }

    wchar_t fileList[MAX_PATH];
    if (!CopyString(fileList, MAX_PATH, installDir) || !AppendString(fileList, MAX_PATH, L"\\") ||
        !AppendString(fileList, MAX_PATH, kFileListName)) {
        return;
    }
    const BOOL listed = WritePrivateProfileStringW(tray, L"AppId", kApplicationId, fileList);
    Trace(L"  %s: %s", kFileListName, listed ? L"listed" : L"not written");
}

void RegisterSharedFile(const wchar_t* filePath, const wchar_t* appId) {
    if (appId[0] == 0) return;
    RegKey sharedKey;
    if (CreateKey(HKEY_LOCAL_MACHINE, kSharedFilesKey, sharedKey) != ERROR_SUCCESS) return;
    RegKey entry;
    if (FindEntry(sharedKey.get(), filePath, entry)) {
        AddApplicationId(entry.get(), appId);
    } else {
        CreateEntry(sharedKey.get(), filePath, appId);
    }
}

BOOL SubkeyExists(HKEY key, const wchar_t* name) {
    wchar_t subkey[kKeyNameUnits];
    for (DWORD index = 0; RegEnumKeyW(key, index, subkey, kKeyNameUnits) == ERROR_SUCCESS; ++index) {
        if (EqualsIgnoringAsciiCase(subkey, name)) return TRUE;
    }
    return FALSE;
}

BOOL GetSpecialFolderPath(int csidl, wchar_t* path) {
    LPITEMIDLIST idList = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, csidl, &idList) != S_OK) return FALSE;
    path[0] = 0;
    const BOOL converted = SHGetPathFromIDListW(idList, path) && path[0] != 0;
    IMalloc* allocator = nullptr;
    if (SHGetMalloc(&allocator) == S_OK) {
        allocator->Free(idList);
        allocator->Release();
    } else {
        FreeIdListWithShell(idList);  // the same allocator, reached another way
    }
    if (!converted) path[0] = 0;
    return converted;
}

BOOL IsExistingFile(const wchar_t* path) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) return FALSE;
    const BOOL isFile = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    FindClose(search);
    return isFile;
}

BOOL ReadRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, void* data, DWORD size,
                       REGSAM view) {
    RegKey key;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ | view, key.receive()) != ERROR_SUCCESS) return FALSE;
    return RegQueryValueExW(key.get(), valueName, nullptr, nullptr, static_cast<BYTE*>(data), &size) ==
           ERROR_SUCCESS;
}

}  // namespace vtpi
