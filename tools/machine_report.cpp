#include "machine_report.h"

#include <windows.h>

#include <stdio.h>

namespace {

const wchar_t* const kDiskClass =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
const wchar_t* const kFloppyClass =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E980-E325-11CE-BFC1-08002BE10318}";
const wchar_t* const kCrashControl = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";

const wchar_t* TypeName(DWORD type) {
    switch (type) {
        case REG_SZ: return L"REG_SZ";
        case REG_MULTI_SZ: return L"REG_MULTI_SZ";
        case REG_BINARY: return L"REG_BINARY";
        case REG_DWORD: return L"REG_DWORD";
        default: return L"other type";
    }
}

// A list value as "A, B (REG_MULTI_SZ, 10 bytes)", or why there is none.
std::wstring DescribeList(const wchar_t* subKey, const wchar_t* name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"(no key)";
    DWORD type = 0, size = 0;
    std::wstring text;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        text = L"(absent)";
    } else {
        std::vector<wchar_t> units(size / 2 + 2, 0);
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(units.data()), &size);
        for (size_t pos = 0; pos < size / 2 && units[pos]; pos += wcslen(&units[pos]) + 1) {
            if (!text.empty()) text += L", ";
            text += &units[pos];
        }
        if (text.empty()) text = L"(empty)";
        text += L"  [" + std::wstring(TypeName(type)) + L", " + std::to_wstring(size) + L" bytes]";
    }
    RegCloseKey(key);
    return text;
}

}  // namespace

MachineReport ReadMachineReport() {
    return {
        {L"Disk class UpperFilters", DescribeList(kDiskClass, L"UpperFilters")},
        {L"Floppy class UpperFilters", DescribeList(kFloppyClass, L"UpperFilters")},
        {L"CrashControl DumpFilters", DescribeList(kCrashControl, L"DumpFilters")},
    };
}

void PrintReport(const MachineReport& report) {
    for (const auto& item : report) wprintf(L"  %-28ls %ls\n", item.first.c_str(), item.second.c_str());
}

void PrintChanges(const MachineReport& before, const MachineReport& after) {
    for (size_t i = 0; i < after.size(); ++i) {
        const std::wstring& was = i < before.size() ? before[i].second : L"";
        if (was == after[i].second) {
            wprintf(L"    %-28ls %ls\n", after[i].first.c_str(), was.c_str());
        } else {
            wprintf(L"  * %-28ls before: %ls\n", after[i].first.c_str(), was.c_str());
            wprintf(L"    %-28ls after:  %ls\n", L"", after[i].second.c_str());
        }
    }
}
