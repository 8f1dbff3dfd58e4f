#include "steps/install_paths.h"

#include "VtPostInstall.h"
#include "base/text.h"

namespace vtpi {

namespace {

// A drive letter and a backslash ("C:\"), or "\\server\share" and more.
bool IsAbsolutePath(const wchar_t* path) {
    const wchar_t drive = FoldAscii(path[0]);
    if (drive >= L'a' && drive <= L'z') return path[1] == L':' && path[2] == L'\\';
    if (path[0] != L'\\' || path[1] != L'\\') return false;
    // A server name, a backslash, then a share name.
    const wchar_t* server = path + 2;
    const wchar_t* separator = server;
    while (*separator && *separator != L'\\') ++separator;
    return separator != server && *separator == L'\\' && separator[1] != 0 && separator[1] != L'\\';
}

// A device, namespace or pipe path (a forward slash read as a backslash), or
// a unit no Windows folder name can hold: '"', '<', '>', '|', '*', '?', a
// control character, or a ':' other than the drive's.
bool HasForbiddenUnit(const wchar_t* path) {
    if (IsNamespaceOrPipePath(path)) return true;
    for (int32_t i = 0; path[i] != 0; ++i) {
        const wchar_t c = path[i];
        if (c < 0x20 || c == L'"' || c == L'<' || c == L'>' || c == L'|' || c == L'*' || c == L'?') return true;
        if (c == L':' && i != 1) return true;
    }
    return false;
}

bool Join(wchar_t (&path)[MAX_PATH], const wchar_t* folder, const wchar_t* below) {
    return CopyString(path, MAX_PATH, folder) && AppendString(path, MAX_PATH, below);
}

bool EndsWithBackslash(const wchar_t* folder) {
    const int32_t length = BoundedLength(folder, MAX_PATH);
    return length > 0 && folder[length - 1] == L'\\';
}

}  // namespace

bool BuildInstallPaths(const wchar_t* folder, InstallPaths& paths) {
    if (!folder || BoundedLength(folder, VTPI_MAX_INSTALL_DIR + 1) < 0 || !IsAbsolutePath(folder) ||
        HasForbiddenUnit(folder)) {
        return false;
    }
    paths.folder = folder;
    return Join(paths.clientManager, folder, L"\\VtClientManager.exe") &&
           CopyString(paths.clientManagerImage, MAX_PATH, L"\"") &&
           AppendString(paths.clientManagerImage, MAX_PATH, paths.clientManager) &&
           AppendString(paths.clientManagerImage, MAX_PATH, L"\"") &&
           Join(paths.driverCopy, folder, EndsWithBackslash(folder) ? L"veltrane.sys" : L"\\veltrane.sys") &&
           Join(paths.localeMap, folder, L"\\Locale\\Locale.ini") &&
           Join(paths.fileList, folder, L"\\VTFILES41.LST");
}

}  // namespace vtpi
