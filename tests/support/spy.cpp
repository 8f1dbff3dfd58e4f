#include "spy.h"

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
std::vector<HKEY> g_openKeys;

LONG TrackOpened(LONG rc, PHKEY key) {
    if (rc == ERROR_SUCCESS && key) g_openKeys.push_back(*key);
    return rc;
}

void TrackClosed(HKEY key) {
    for (auto it = g_openKeys.begin(); it != g_openKeys.end(); ++it) {
        if (*it == key) {
            g_openKeys.erase(it);
            return;
        }
    }
}

// Records the call; true when a planned fault makes it fail with *error.
bool Enter(const char* function, const wchar_t* detail, DWORD* error) {
    const std::wstring text = detail ? detail : L"";
    g_calls.push_back({function, text});
    for (Fault& f : g_faults) {
        if (f.function != function || f.times == 0) continue;
        if (!f.detail.empty() && _wcsicmp(f.detail.c_str(), text.c_str()) != 0) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        if (f.times > 0) --f.times;
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

// Win32 calls report failure through a result value and the last error.
#define SPY_WIN32(ret, name, params, args, detail, failed)       \
    SPY_REAL(name);                                              \
    ret WINAPI Hook_##name params {                              \
        DWORD error;                                             \
        if (Enter(#name, detail, &error)) {                      \
            SetLastError(error);                                 \
            return failed;                                       \
        }                                                        \
        return Real_##name args;                                 \
    }

SPY_REGISTRY_THEN(RegOpenKeyW, (HKEY k, LPCWSTR sub, PHKEY out), (k, sub, out), sub,
                  TrackOpened(rc, out))
SPY_REGISTRY_THEN(RegOpenKeyExW, (HKEY k, LPCWSTR sub, DWORD o, REGSAM sam, PHKEY out),
                  (k, sub, o, sam, out), sub, TrackOpened(rc, out))
SPY_REGISTRY_THEN(RegCreateKeyExW,
                  (HKEY k, LPCWSTR sub, DWORD r, LPWSTR cls, DWORD o, REGSAM sam,
                   LPSECURITY_ATTRIBUTES sa, PHKEY out, LPDWORD disp),
                  (k, sub, r, cls, o, sam, sa, out, disp), sub, TrackOpened(rc, out))
SPY_REGISTRY(RegQueryValueExW,
             (HKEY k, LPCWSTR name, LPDWORD r, LPDWORD type, LPBYTE data, LPDWORD size),
             (k, name, r, type, data, size), name)
SPY_REGISTRY(RegSetValueExW,
             (HKEY k, LPCWSTR name, DWORD r, DWORD type, const BYTE* data, DWORD size),
             (k, name, r, type, data, size), name)
SPY_REGISTRY(RegDeleteValueW, (HKEY k, LPCWSTR name), (k, name), name)
SPY_REGISTRY(RegEnumKeyW, (HKEY k, DWORD i, LPWSTR name, DWORD size), (k, i, name, size), nullptr)
SPY_REGISTRY_THEN(RegCloseKey, (HKEY k), (k), nullptr, (TrackClosed(k), rc))
SPY_WIN32(DWORD, GetVersion, (), (), nullptr, 0)
SPY_WIN32(BOOL, GetVersionExW, (LPOSVERSIONINFOW info), (info), nullptr, FALSE)

struct Hook {
    const char* name;
    void* replacement;
    void** real;
};

#define SPY_ENTRY(name) {#name, (void*)&Hook_##name, (void**)&Real_##name}

const Hook kHooks[] = {
    SPY_ENTRY(RegOpenKeyW),      SPY_ENTRY(RegOpenKeyExW),   SPY_ENTRY(RegCreateKeyExW),
    SPY_ENTRY(RegQueryValueExW), SPY_ENTRY(RegSetValueExW),  SPY_ENTRY(RegDeleteValueW),
    SPY_ENTRY(RegEnumKeyW),      SPY_ENTRY(RegCloseKey),     SPY_ENTRY(GetVersion),
    SPY_ENTRY(GetVersionExW),
};

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

void Clear() {
    g_calls.clear();
    g_faults.clear();
    g_openKeys.clear();
}

std::vector<HKEY> OpenKeys() { return g_openKeys; }

std::vector<Call> Calls() { return g_calls; }

std::vector<Call> CallsTo(const char* function) {
    std::vector<Call> out;
    for (const Call& c : g_calls) {
        if (c.function == function) out.push_back(c);
    }
    return out;
}

int CountOf(const char* function) { return static_cast<int>(CallsTo(function).size()); }

void Fail(const char* function, DWORD error, const wchar_t* detail, int skip, int times) {
    g_faults.push_back({function, detail ? detail : L"", error, skip, times});
}

}  // namespace spy
