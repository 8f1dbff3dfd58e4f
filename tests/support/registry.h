// Registry helpers for tests: exact values in, exact bytes and types out.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testreg {

using List = std::vector<std::wstring>;

struct Stored {
    bool exists = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

// The bytes of a multi-string list: each entry with its NUL, then the final NUL.
std::vector<BYTE> MultiSzBytes(const List& entries);

// `view` may name a registry view (KEY_WOW64_64KEY or KEY_WOW64_32KEY).

// Writes exactly `bytes` (creating the key): a non-zero unit is placed after
// the data so that the registry stores no terminator of its own.
void SetValue(const wchar_t* subKey, const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes,
              REGSAM view = 0);
void SetList(const wchar_t* subKey, const wchar_t* name, const List& entries);
// A REG_SZ value with its terminator.
void SetString(const wchar_t* subKey, const wchar_t* name, const std::wstring& text, REGSAM view = 0);

Stored ReadValue(const wchar_t* subKey, const wchar_t* name, REGSAM view = 0);
// The entries of a stored multi-string value; fails the test if it is malformed.
List ReadList(const wchar_t* subKey, const wchar_t* name);

void DeleteValue(const wchar_t* subKey, const wchar_t* name, REGSAM view = 0);
void DeleteTree(const wchar_t* subKey);
bool KeyExists(const wchar_t* subKey);
void CreateKey(const wchar_t* subKey);

// Saves a value (or its absence, or the key's) and puts it back on destruction.
class Snapshot {
public:
    Snapshot(const wchar_t* subKey, const wchar_t* name);
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

private:
    std::wstring subKey_;
    std::wstring name_;
    bool keyExisted_;
    Stored value_;
};

// The three filter lists a whole install or uninstall edits, saved and put back.
struct FilterListsSnapshot {
    Snapshot disk{L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}",
                  L"UpperFilters"};
    Snapshot floppy{L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E980-E325-11CE-BFC1-08002BE10318}",
                    L"UpperFilters"};
    Snapshot dump{L"SYSTEM\\CurrentControlSet\\Control\\CrashControl", L"DumpFilters"};
};

// Saves every value of a key (or its absence) and puts them back on destruction.
class KeySnapshot {
public:
    explicit KeySnapshot(const wchar_t* subKey);
    ~KeySnapshot();
    KeySnapshot(const KeySnapshot&) = delete;
    KeySnapshot& operator=(const KeySnapshot&) = delete;

private:
    std::wstring subKey_;
    bool keyExisted_;
    std::vector<std::pair<std::wstring, Stored>> values_;
};

}  // namespace testreg
