#include "steps/main_driver.h"

#include "base/files.h"
#include "base/owner.h"
#include "base/system_library.h"
#include "base/wow64.h"

namespace vtpi {

namespace {

// Any directory entry of that name in the native file system.
DWORD FindNativeEntry(const wchar_t* path) {
    NativeFileSystem native;
    if (!native.ok()) return LastErrorOrGeneric();
    return FindAttributes(path) != INVALID_FILE_ATTRIBUTES ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool BuildSystemDriverPath(wchar_t (&path)[MAX_PATH]) {
    return BuildSystemPath(path, MAX_PATH, L"\\drivers\\veltrane.sys");
}

DWORD CheckMainDriverPresent() {
    wchar_t path[MAX_PATH] = {};
    if (!BuildSystemDriverPath(path)) return LastErrorOrGeneric();
    const DWORD found = FindNativeEntry(path);
    if (found != ERROR_SUCCESS) return found;
    RegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMainDriverServiceKey, 0, KEY_READ, key.receive());
}

}  // namespace vtpi
