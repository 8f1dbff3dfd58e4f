#include "base/shell_folders.h"

#include <shlobj.h>

#include "base/system_library.h"

namespace vtpi {

namespace {

// Frees an ID list with the shell's ILFree, which shell32 exports by name
// only from version 5.0 (Windows 2000 and ME) on, and as ordinal 155 always.
void FreeIdListWithShell(LPITEMIDLIST idList) {
    const auto ilFree = reinterpret_cast<void(WINAPI*)(LPITEMIDLIST)>(LoadedFunction("shell32.dll", MAKEINTRESOURCEA(155)));
    if (ilFree) ilFree(idList);
}

}  // namespace

bool GetSpecialFolderPath(int csidl, wchar_t* path) {
    LPITEMIDLIST idList = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, csidl, &idList) != S_OK) return false;
    path[0] = 0;
    const bool converted = SHGetPathFromIDListW(idList, path) && path[0] != 0;
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

}  // namespace vtpi
