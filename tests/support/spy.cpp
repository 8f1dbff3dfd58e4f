#include "spy.h"

#include <setupapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace spy {

namespace {

struct Fault {
    std::string function;
    std::wstring detail;
    DWORD error;
    int skip;
    int times;
};

std::vector<Call> g_calls;
std::vector<Fault> g_faults;
std::vector<Resource> g_held;

void Acquired(const char* kind, const void* handle) { g_held.push_back({kind, handle}); }

void Released(const char* kind, const void* handle) {
    for (auto it = g_held.begin(); it != g_held.end(); ++it) {
        if (it->kind == kind && it->handle == handle) {
            g_held.erase(it);
            return;
        }
    }
}

// The key's name, marked with the registry view it asks for, if any.
std::wstring KeyDetail(LPCWSTR subKey, REGSAM sam) {
    std::wstring text = subKey ? subKey : L"";
    if (sam & KEY_WOW64_64KEY) text += L" [64-bit view]";
    if (sam & KEY_WOW64_32KEY) text += L" [32-bit view]";
    return text;
}

LONG KeyOpened(LONG rc, PHKEY key) {
    if (rc == ERROR_SUCCESS && key) Acquired("key", *key);
    return rc;
}

template <typename H>
H HandleOpened(const char* kind, H handle, H invalid) {
    if (handle != invalid) Acquired(kind, reinterpret_cast<const void*>(handle));
    return handle;
}

BOOL HandleClosed(const char* kind, BOOL ok, const void* handle) {
    if (ok) Released(kind, handle);
    return ok;
}

std::wstring Widen(const char* s) {
    std::wstring out;
    for (; s && *s; ++s) out += static_cast<wchar_t>(static_cast<unsigned char>(*s));
    return out;
}

// "CODE input-bytes" in hexadecimal, e.g. "0009C040 0000".
std::wstring DescribeRequest(DWORD code, const void* input, DWORD bytes) {
    wchar_t text[16];
    swprintf(text, 16, L"%08lX ", code);
    std::wstring out = text;
    for (DWORD i = 0; input && i < bytes && i < 64; ++i) {
        swprintf(text, 16, L"%02X", static_cast<const BYTE*>(input)[i]);
        out += text;
    }
    return out;
}

// The planned kill: the count of calls still to pass before it, and the file
// that names the call it ends at.
int g_callsBeforeKill = 0;
std::wstring g_killRecord;

void WriteKillRecord(const Call& call) {
    const HANDLE file = CreateFileW(g_killRecord.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::wstring line = Widen(call.function.c_str()) + L"\t" + call.detail + L"\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

void KillIfDue(const Call& call) {
    if (g_callsBeforeKill == 0 || --g_callsBeforeKill > 0) return;
    WriteKillRecord(call);
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
}

// What the next recorded call asks for, noted while its detail is formed.
Call g_rights;
const wchar_t* WithRights(const wchar_t* detail, DWORD access, DWORD share = 0, DWORD flags = 0) {
    g_rights.access = access;
    g_rights.share = share;
    g_rights.flags = flags;
    return detail;
}

// Records the call; true when a planned fault makes it fail with *error.
bool Enter(const char* function, const wchar_t* detail, DWORD* error) {
    const std::wstring text = detail ? detail : L"";
    g_calls.push_back({function, text, g_rights.access, g_rights.share, g_rights.flags});
    g_rights = Call();
    KillIfDue(g_calls.back());
    for (Fault& f : g_faults) {
        if (f.function != function || f.times == 0) continue;
        if (!f.detail.empty() && _wcsicmp(f.detail.c_str(), text.c_str()) != 0) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        if (f.times > 0) --f.times;
        if (f.error == kAccessViolation) *static_cast<volatile int*>(nullptr) = 0;
        *error = f.error;
        return true;
    }
    return false;
}

// Every hook has a slot for the real function, filled from the import table.
#define SPY_REAL(name) static decltype(&::name) Real_##name = &::name

// Registry calls report failure through their result; `after` sees the
// real call's result as `rc`.
#define SPY_REGISTRY_THEN(name, params, args, detail, after)     \
    SPY_REAL(name);                                              \
    LONG WINAPI Hook_##name params {                             \
        DWORD error;                                             \
        if (Enter(#name, detail, &error)) return (LONG)error;    \
        LONG rc = Real_##name args;                              \
        return after;                                            \
    }
#define SPY_REGISTRY(name, params, args, detail) SPY_REGISTRY_THEN(name, params, args, detail, rc)

// Win32 calls report failure through a result value and the last error;
// `after` sees the real call's result as `rc`.
#define SPY_WIN32_THEN(ret, name, params, args, detail, failed, after) \
    SPY_REAL(name);                                              \
    ret WINAPI Hook_##name params {                              \
        DWORD error;                                             \
        if (Enter(#name, detail, &error)) {                      \
            SetLastError(error);                                 \
            return failed;                                       \
        }                                                        \
        ret rc = Real_##name args;                               \
        return after;                                            \
    }
#define SPY_WIN32(ret, name, params, args, detail, failed) \
    SPY_WIN32_THEN(ret, name, params, args, detail, failed, rc)

SPY_REGISTRY_THEN(RegOpenKeyW, (HKEY k, LPCWSTR sub, PHKEY out), (k, sub, out), sub,
                  KeyOpened(rc, out))
SPY_REGISTRY_THEN(RegOpenKeyExW, (HKEY k, LPCWSTR sub, DWORD o, REGSAM sam, PHKEY out),
                  (k, sub, o, sam, out), WithRights(KeyDetail(sub, sam).c_str(), sam), KeyOpened(rc, out))
SPY_REGISTRY_THEN(RegCreateKeyExW,
                  (HKEY k, LPCWSTR sub, DWORD r, LPWSTR cls, DWORD o, REGSAM sam,
                   LPSECURITY_ATTRIBUTES sa, PHKEY out, LPDWORD disp),
                  (k, sub, r, cls, o, sam, sa, out, disp), WithRights(KeyDetail(sub, sam).c_str(), sam),
                  KeyOpened(rc, out))
SPY_REGISTRY(RegQueryValueExW,
             (HKEY k, LPCWSTR name, LPDWORD r, LPDWORD type, LPBYTE data, LPDWORD size),
             (k, name, r, type, data, size), name)
SPY_REGISTRY(RegSetValueExW,
             (HKEY k, LPCWSTR name, DWORD r, DWORD type, const BYTE* data, DWORD size),
             (k, name, r, type, data, size), name)
SPY_REGISTRY(RegDeleteValueW, (HKEY k, LPCWSTR name), (k, name), name)
SPY_REGISTRY(RegEnumKeyW, (HKEY k, DWORD i, LPWSTR name, DWORD size), (k, i, name, size), nullptr)
SPY_REGISTRY_THEN(RegCloseKey, (HKEY k), (k), nullptr, (Released("key", k), rc))
SPY_WIN32(DWORD, GetVersion, (), (), nullptr, 0)
SPY_WIN32(BOOL, GetVersionExW, (LPOSVERSIONINFOW info), (info), nullptr, FALSE)
SPY_WIN32(UINT, GetSystemDirectoryW, (LPWSTR buffer, UINT size), (buffer, size), nullptr, 0)

SPY_WIN32_THEN(HANDLE, CreateFileW,
               (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                DWORD flags, HANDLE tmpl),
               (path, access, share, sa, disposition, flags, tmpl), WithRights(path, access, share, flags),
               INVALID_HANDLE_VALUE,
               HandleOpened("file", rc, INVALID_HANDLE_VALUE))
SPY_WIN32_THEN(BOOL, CloseHandle, (HANDLE h), (h), nullptr, FALSE, HandleClosed("file", rc, h))
SPY_WIN32(BOOL, DeviceIoControl,
          (HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
           LPOVERLAPPED overlapped),
          (h, code, in, inSize, out, outSize, returned, overlapped),
          DescribeRequest(code, in, inSize).c_str(), FALSE)
SPY_WIN32(BOOL, ReadFile, (HANDLE file, LPVOID into, DWORD bytes, LPDWORD read, LPOVERLAPPED at),
          (file, into, bytes, read, at), nullptr, FALSE)
// A copy that fails as a full disk would: part of the source is written
// before the error, so the destination is left truncated.
void CopyPart(LPCWSTR from, LPCWSTR to) {
    HANDLE in = Real_CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return;
    HANDLE out = Real_CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        BYTE part[512];
        DWORD read = 0, written = 0;
        if (Real_ReadFile(in, part, sizeof(part), &read, nullptr)) WriteFile(out, part, read / 2, &written, nullptr);
        Real_CloseHandle(out);
    }
    Real_CloseHandle(in);
}
SPY_REAL(CopyFileW);
BOOL WINAPI Hook_CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
    DWORD error;
    if (Enter("CopyFileW", (std::wstring(from) + L" -> " + to).c_str(), &error)) {
        if (error == ERROR_DISK_FULL) CopyPart(from, to);
        SetLastError(error);
        return FALSE;
    }
    return Real_CopyFileW(from, to, failIfExists);
}
SPY_WIN32(BOOL, MoveFileExW, (LPCWSTR from, LPCWSTR to, DWORD flags), (from, to, flags),
          (std::wstring(from) + L" -> " + to + L" " + std::to_wstring(flags)).c_str(), FALSE)
SPY_WIN32(BOOL, DeleteFileW, (LPCWSTR path), (path), path, FALSE)
SPY_WIN32(BOOL, SetFileAttributesW, (LPCWSTR path, DWORD attributes), (path, attributes), path, FALSE)
SPY_WIN32(BOOL, FlushFileBuffers, (HANDLE file), (file), nullptr, FALSE)
SPY_WIN32_THEN(HANDLE, FindFirstFileW, (LPCWSTR path, LPWIN32_FIND_DATAW data), (path, data), path,
               INVALID_HANDLE_VALUE, HandleOpened("find", rc, INVALID_HANDLE_VALUE))
SPY_WIN32_THEN(BOOL, FindClose, (HANDLE h), (h), nullptr, FALSE, HandleClosed("find", rc, h))
SPY_WIN32_THEN(LPVOID, HeapAlloc, (HANDLE heap, DWORD flags, SIZE_T bytes), (heap, flags, bytes),
               nullptr, nullptr, HandleOpened<LPVOID>("heap", rc, nullptr))
SPY_WIN32_THEN(BOOL, HeapFree, (HANDLE heap, DWORD flags, LPVOID block), (heap, flags, block),
               nullptr, FALSE, HandleClosed("heap", rc, block))
SPY_WIN32(DWORD, GetFileVersionInfoSizeW, (LPCWSTR path, LPDWORD handle), (path, handle), path, 0)
SPY_WIN32(BOOL, GetFileVersionInfoW, (LPCWSTR path, DWORD handle, DWORD size, LPVOID data),
          (path, handle, size, data), path, FALSE)
SPY_WIN32(BOOL, VerQueryValueW, (LPCVOID block, LPCWSTR sub, LPVOID* out, PUINT length),
          (block, sub, out, length), sub, FALSE)
// The flags of a load are recorded as `flags`.
SPY_WIN32(HMODULE, LoadLibraryExW, (LPCWSTR path, HANDLE file, DWORD flags), (path, file, flags),
          WithRights(path, 0, 0, flags), nullptr)
SPY_WIN32(BOOL, FreeLibrary, (HMODULE module), (module), nullptr, FALSE)

SPY_WIN32_THEN(SC_HANDLE, OpenSCManagerW, (LPCWSTR machine, LPCWSTR database, DWORD access),
               (machine, database, access), WithRights(nullptr, access), nullptr,
               HandleOpened<SC_HANDLE>("manager", rc, nullptr))
SPY_WIN32_THEN(SC_HANDLE, OpenServiceW, (SC_HANDLE manager, LPCWSTR name, DWORD access),
               (manager, name, access), WithRights(name, access), nullptr,
               HandleOpened<SC_HANDLE>("service", rc, nullptr))
SPY_WIN32_THEN(SC_HANDLE, CreateServiceW,
               (SC_HANDLE manager, LPCWSTR name, LPCWSTR display, DWORD access, DWORD type, DWORD start,
                DWORD errorControl, LPCWSTR path, LPCWSTR group, LPDWORD tag, LPCWSTR dependencies,
                LPCWSTR account, LPCWSTR password),
               (manager, name, display, access, type, start, errorControl, path, group, tag, dependencies,
                account, password),
               WithRights(name, access), nullptr, HandleOpened<SC_HANDLE>("service", rc, nullptr))
// Recorded as "manager" or "service", so that the order of release shows.
SPY_REAL(CloseServiceHandle);
BOOL WINAPI Hook_CloseServiceHandle(SC_HANDLE h) {
    std::wstring kind;
    for (const Resource& r : g_held) {
        if (r.handle == h && (r.kind == "manager" || r.kind == "service")) kind = Widen(r.kind.c_str());
    }
    DWORD error;
    if (Enter("CloseServiceHandle", kind.c_str(), &error)) {
        SetLastError(error);
        return FALSE;
    }
    const BOOL rc = Real_CloseServiceHandle(h);
    if (rc) Released(kind == L"manager" ? "manager" : "service", h);
    return rc;
}
SPY_WIN32(BOOL, QueryServiceConfigW, (SC_HANDLE h, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed),
          (h, config, size, needed), nullptr, FALSE)
SPY_WIN32(BOOL, ChangeServiceConfigW,
          (SC_HANDLE h, DWORD type, DWORD start, DWORD errorControl, LPCWSTR path, LPCWSTR group, LPDWORD tag,
           LPCWSTR dependencies, LPCWSTR account, LPCWSTR password, LPCWSTR display),
          (h, type, start, errorControl, path, group, tag, dependencies, account, password, display), path, FALSE)
SPY_WIN32(BOOL, StartServiceW, (SC_HANDLE h, DWORD argc, LPCWSTR* argv), (h, argc, argv), nullptr, FALSE)
SPY_WIN32(BOOL, ControlService, (SC_HANDLE h, DWORD control, LPSERVICE_STATUS status), (h, control, status),
          std::to_wstring(control).c_str(), FALSE)
SPY_WIN32(BOOL, QueryServiceStatus, (SC_HANDLE h, LPSERVICE_STATUS status), (h, status), nullptr, FALSE)
SPY_WIN32(BOOL, DeleteService, (SC_HANDLE h), (h), nullptr, FALSE)

// The wait's bound is the detail; a planned fault is the bound passing.
SPY_WIN32(DWORD, WaitForSingleObject, (HANDLE object, DWORD ms), (object, ms), std::to_wstring(ms).c_str(),
          WAIT_TIMEOUT)
SPY_REAL(Sleep);
void WINAPI Hook_Sleep(DWORD ms) {
    DWORD error;
    Enter("Sleep", std::to_wstring(ms).c_str(), &error);
    Real_Sleep(ms);
}

SPY_WIN32(DWORD, GetPrivateProfileStringW,
          (LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR out, DWORD size, LPCWSTR file),
          (section, key, fallback, out, size, file), key, 0)
SPY_WIN32(BOOL, WritePrivateProfileStringW, (LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file),
          (section, key, value, file),
          (key ? std::wstring(key) + L"=" + (value ? value : L"") : std::wstring(L"flush")).c_str(), FALSE)
SPY_WIN32(LANGID, GetSystemDefaultLangID, (), (), nullptr, 0)
SPY_WIN32(HKL, GetKeyboardLayout, (DWORD thread), (thread), nullptr, nullptr)

std::wstring g_layoutName;
SPY_REAL(GetKeyboardLayoutNameW);
BOOL WINAPI Hook_GetKeyboardLayoutNameW(LPWSTR name) {
    DWORD error;
    if (Enter("GetKeyboardLayoutNameW", nullptr, &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (g_layoutName.empty()) return Real_GetKeyboardLayoutNameW(name);
    wcsncpy(name, g_layoutName.c_str(), KL_NAMELENGTH - 1);
    name[KL_NAMELENGTH - 1] = 0;
    return TRUE;
}

SPY_WIN32_THEN(HRESULT, SHGetSpecialFolderLocation, (HWND owner, int csidl, PIDLIST_ABSOLUTE* idList),
               (owner, csidl, idList), std::to_wstring(csidl).c_str(), E_FAIL,
               (rc == S_OK && idList ? Acquired("id list", *idList) : void(), rc))
SPY_WIN32(BOOL, SHGetPathFromIDListW, (PCIDLIST_ABSOLUTE idList, LPWSTR path), (idList, path), nullptr, FALSE)

SPY_REAL(ILFree);
void WINAPI Hook_ILFree(PIDLIST_RELATIVE idList) {
    DWORD error;
    Enter("ILFree", nullptr, &error);
    Released("id list", idList);
    Real_ILFree(idList);
}

// The shell allocator, wrapped so that freed ID lists and releases show.
struct SpyMalloc : IMalloc {
    IMalloc* real = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return real->QueryInterface(iid, out); }
    ULONG STDMETHODCALLTYPE AddRef() override { return real->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override {
        DWORD error;
        Enter("IMalloc::Release", nullptr, &error);
        Released("allocator", this);
        return real->Release();
    }
    void* STDMETHODCALLTYPE Alloc(SIZE_T bytes) override { return real->Alloc(bytes); }
    void* STDMETHODCALLTYPE Realloc(void* p, SIZE_T bytes) override { return real->Realloc(p, bytes); }
    void STDMETHODCALLTYPE Free(void* p) override {
        DWORD error;
        Enter("IMalloc::Free", nullptr, &error);
        Released("id list", p);
        real->Free(p);
    }
    SIZE_T STDMETHODCALLTYPE GetSize(void* p) override { return real->GetSize(p); }
    int STDMETHODCALLTYPE DidAlloc(void* p) override { return real->DidAlloc(p); }
    void STDMETHODCALLTYPE HeapMinimize() override { real->HeapMinimize(); }
};
SpyMalloc g_malloc;

SPY_REAL(SHGetMalloc);
HRESULT WINAPI Hook_SHGetMalloc(IMalloc** out) {
    DWORD error;
    if (Enter("SHGetMalloc", nullptr, &error)) return E_FAIL;
    const HRESULT rc = Real_SHGetMalloc(&g_malloc.real);
    if (rc != S_OK) return rc;
    Acquired("allocator", &g_malloc);
    *out = &g_malloc;
    return rc;
}

// WoW64's functions, absent from older systems and looked up at run time.
SPY_WIN32(BOOL, IsWow64Process, (HANDLE process, PBOOL wow64), (process, wow64), nullptr, FALSE)
// Redirection turned off is held until it is reverted.
SPY_WIN32_THEN(BOOL, Wow64DisableWow64FsRedirection, (PVOID* old), (old), nullptr, FALSE,
               (rc ? Acquired("redirection off", nullptr) : void(), rc))
SPY_WIN32_THEN(BOOL, Wow64RevertWow64FsRedirection, (PVOID old), (old), nullptr, FALSE,
               HandleClosed("redirection off", rc, nullptr))

// The device installation and version-resource functions, reached through GetProcAddress.
SPY_WIN32_THEN(HDEVINFO, SetupDiGetClassDevsW, (const GUID* cls, PCWSTR enumerator, HWND window, DWORD flags),
               (cls, enumerator, window, flags), nullptr, INVALID_HANDLE_VALUE,
               HandleOpened("device set", rc, INVALID_HANDLE_VALUE))
SPY_WIN32_THEN(BOOL, SetupDiDestroyDeviceInfoList, (HDEVINFO set), (set), nullptr, FALSE,
               HandleClosed("device set", rc, set))
SPY_WIN32(BOOL, SetupDiEnumDeviceInfo, (HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data),
          (set, index, data), nullptr, FALSE)
SPY_WIN32(BOOL, SetupDiGetDeviceRegistryPropertyW,
          (HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer, DWORD size,
           PDWORD required),
          (set, data, property, type, buffer, size, required), nullptr, FALSE)
SPY_WIN32(BOOL, SetupDiSetDeviceRegistryPropertyW,
          (HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, const BYTE* buffer, DWORD size),
          (set, data, property, buffer, size),
          (buffer ? std::to_wstring(size) + L" bytes" : std::wstring(L"null")).c_str(), FALSE)

struct Hook {
    const char* name;
    void* replacement;
    void** real;
};

#define SPY_ENTRY(name) {#name, (void*)&Hook_##name, (void**)&Real_##name}

SPY_REAL(GetProcAddress);
FARPROC WINAPI Hook_GetProcAddress(HMODULE module, LPCSTR name);

const Hook kHooks[] = {
    SPY_ENTRY(RegOpenKeyW),
    SPY_ENTRY(RegOpenKeyExW),
    SPY_ENTRY(RegCreateKeyExW),
    SPY_ENTRY(RegQueryValueExW),
    SPY_ENTRY(RegSetValueExW),
    SPY_ENTRY(RegDeleteValueW),
    SPY_ENTRY(RegEnumKeyW),
    SPY_ENTRY(RegCloseKey),
    SPY_ENTRY(GetVersion),
    SPY_ENTRY(GetVersionExW),
    SPY_ENTRY(GetSystemDirectoryW),
    SPY_ENTRY(CreateFileW),
    SPY_ENTRY(CloseHandle),
    SPY_ENTRY(DeviceIoControl),
    SPY_ENTRY(CopyFileW),
    SPY_ENTRY(MoveFileExW),
    SPY_ENTRY(DeleteFileW),
    SPY_ENTRY(SetFileAttributesW),
    SPY_ENTRY(FlushFileBuffers),
    SPY_ENTRY(ReadFile),
    SPY_ENTRY(FindFirstFileW),
    SPY_ENTRY(FindClose),
    SPY_ENTRY(HeapAlloc),
    SPY_ENTRY(HeapFree),
    SPY_ENTRY(LoadLibraryExW),
    SPY_ENTRY(FreeLibrary),
    SPY_ENTRY(GetProcAddress),
    SPY_ENTRY(OpenSCManagerW),
    SPY_ENTRY(OpenServiceW),
    SPY_ENTRY(CreateServiceW),
    SPY_ENTRY(CloseServiceHandle),
    SPY_ENTRY(QueryServiceConfigW),
    SPY_ENTRY(ChangeServiceConfigW),
    SPY_ENTRY(StartServiceW),
    SPY_ENTRY(ControlService),
    SPY_ENTRY(QueryServiceStatus),
    SPY_ENTRY(DeleteService),
    SPY_ENTRY(Sleep),
    SPY_ENTRY(WaitForSingleObject),
    SPY_ENTRY(GetPrivateProfileStringW),
    SPY_ENTRY(WritePrivateProfileStringW),
    SPY_ENTRY(GetSystemDefaultLangID),
    SPY_ENTRY(GetKeyboardLayout),
    SPY_ENTRY(GetKeyboardLayoutNameW),
    SPY_ENTRY(SHGetSpecialFolderLocation),
    SPY_ENTRY(SHGetPathFromIDListW),
    SPY_ENTRY(SHGetMalloc),
    SPY_ENTRY(ILFree),
};

// Entry points that the code under test looks up at run time.
const Hook kLookedUp[] = {
    SPY_ENTRY(SetupDiGetClassDevsW),
    SPY_ENTRY(SetupDiDestroyDeviceInfoList),
    SPY_ENTRY(SetupDiEnumDeviceInfo),
    SPY_ENTRY(SetupDiGetDeviceRegistryPropertyW),
    SPY_ENTRY(SetupDiSetDeviceRegistryPropertyW),
    SPY_ENTRY(GetFileVersionInfoSizeW),
    SPY_ENTRY(GetFileVersionInfoW),
    SPY_ENTRY(VerQueryValueW),
    SPY_ENTRY(IsWow64Process),
    SPY_ENTRY(Wow64DisableWow64FsRedirection),
    SPY_ENTRY(Wow64RevertWow64FsRedirection),
};

FARPROC WINAPI Hook_GetProcAddress(HMODULE module, LPCSTR name) {
    const bool byName = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
    DWORD error;
    if (Enter("GetProcAddress", byName ? Widen(name).c_str() : nullptr, &error)) {
        SetLastError(error);
        return nullptr;
    }
    const FARPROC real = Real_GetProcAddress(module, name);
    // The shell's ILFree, looked up by its ordinal.
    if (real && !byName && reinterpret_cast<ULONG_PTR>(name) == 155 && module == GetModuleHandleA("shell32.dll")) {
        Real_ILFree = reinterpret_cast<decltype(Real_ILFree)>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Hook_ILFree));
    }
    if (!real || !byName) return real;
    for (const Hook& h : kLookedUp) {
        if (strcmp(h.name, name) == 0) {
            *h.real = reinterpret_cast<void*>(real);
            return reinterpret_cast<FARPROC>(h.replacement);
        }
    }
    return real;
}

const Hook* FindHook(const char* name) {
    for (const Hook& h : kHooks) {
        if (strcmp(h.name, name) == 0) return &h;
    }
    return nullptr;
}

struct Patch {
    void** slot;
    void* original;
};
std::vector<Patch> g_patches;

void WriteSlot(void** slot, void* value) {
    DWORD old;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
}

}  // namespace

void Attach(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
    for (; desc->Name; ++desc) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            const Hook* hook = FindHook(reinterpret_cast<const char*>(byName->Name));
            if (!hook) continue;
            void** slot = reinterpret_cast<void**>(&slots->u1.Function);
            if (*slot == hook->replacement) continue;
            *hook->real = *slot;
            g_patches.push_back({slot, *slot});
            WriteSlot(slot, hook->replacement);
        }
    }
}

void Detach() {
    for (auto it = g_patches.rbegin(); it != g_patches.rend(); ++it) WriteSlot(it->slot, it->original);
    g_patches.clear();
}

void SetKeyboardLayoutName(const wchar_t* name) { g_layoutName = name ? name : L""; }

void Clear() {
    g_callsBeforeKill = 0;
    g_killRecord.clear();
    g_layoutName.clear();
    g_calls.clear();
    g_faults.clear();
    g_held.clear();
}

std::vector<Resource> Held() { return g_held; }

std::string DescribeHeld() {
    std::string out;
    for (const Resource& r : g_held) out += (out.empty() ? "" : " ") + r.kind;
    return out;
}

std::vector<Call> Calls() { return g_calls; }

std::vector<Call> CallsTo(const char* function) {
    std::vector<Call> out;
    for (const Call& c : g_calls) {
        if (c.function == function) out.push_back(c);
    }
    return out;
}

int CountOf(const char* function) { return static_cast<int>(CallsTo(function).size()); }

void KillBefore(int n, const wchar_t* record) {
    g_callsBeforeKill = n;
    g_killRecord = record;
}

void Fail(const char* function, DWORD error, const wchar_t* detail, int skip, int times) {
    g_faults.push_back({function, detail ? detail : L"", error, skip, times});
}

}  // namespace spy
