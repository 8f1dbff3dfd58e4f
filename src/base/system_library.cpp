#include "base/system_library.h"

#include "base/text.h"

namespace vtpi {

bool BuildSystemPath(wchar_t* path, int capacity, const wchar_t* suffix) {
    const UINT length = GetSystemDirectoryW(path, capacity);
    if (length == 0 || length >= static_cast<UINT>(capacity)) return false;
    return AppendString(path, capacity, suffix);
}

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
    wchar_t path[MAX_PATH] = {};
    if (!BuildSystemPath(path, MAX_PATH, L"\\") || !AppendString(path, MAX_PATH, fileName)) return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* LoadedFunction(const char* module, const char* name) {
    const HMODULE loaded = GetModuleHandleA(module);
    return loaded ? reinterpret_cast<void*>(GetProcAddress(loaded, name)) : nullptr;
}

DWORD LastErrorOrGeneric() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

}  // namespace vtpi
