#include "registry.h"

#include <gtest/gtest.h>

namespace testreg {

std::vector<BYTE> MultiSzBytes(const List& entries) {
    std::wstring units;
    for (const std::wstring& e : entries) units += e + L'\0';
    units += L'\0';
    const BYTE* p = reinterpret_cast<const BYTE*>(units.data());
    return std::vector<BYTE>(p, p + units.size() * sizeof(wchar_t));
}

void CreateKey(const wchar_t* subKey) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
}

void SetValue(const wchar_t* subKey, const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes,
              REGSAM view) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | view, nullptr, &key, nullptr));
    std::vector<BYTE> buffer(bytes);
    buffer.insert(buffer.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, buffer.data(),
                                            static_cast<DWORD>(bytes.size())));
    RegCloseKey(key);
}

void SetList(const wchar_t* subKey, const wchar_t* name, const List& entries) {
    SetValue(subKey, name, REG_MULTI_SZ, MultiSzBytes(entries));
}

void SetString(const wchar_t* subKey, const wchar_t* name, const std::wstring& text, REGSAM view) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    SetValue(subKey, name, REG_SZ, std::vector<BYTE>(p, p + (text.size() + 1) * sizeof(wchar_t)), view);
}

Stored ReadValue(const wchar_t* subKey, const wchar_t* name, REGSAM view) {
    Stored out;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return out;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &out.type, nullptr, &size) == ERROR_SUCCESS) {
        out.bytes.resize(size);
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, name, nullptr, &out.type,
                                                  size ? out.bytes.data() : nullptr, &size));
        out.bytes.resize(size);
        out.exists = true;
    }
    RegCloseKey(key);
    return out;
}

List ReadList(const wchar_t* subKey, const wchar_t* name) {
    const Stored v = ReadValue(subKey, name);
    List out;
    EXPECT_TRUE(v.exists) << "no value " << testing::PrintToString(std::wstring(name));
    if (!v.exists) return out;
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), v.type);
    EXPECT_EQ(0u, v.bytes.size() % 2);
    std::wstring units(reinterpret_cast<const wchar_t*>(v.bytes.data()), v.bytes.size() / 2);
    // A well-formed list ends in an empty entry: exactly one NUL after the last.
    EXPECT_TRUE(!units.empty() && units.back() == L'\0');
    size_t pos = 0;
    while (pos < units.size() && units[pos] != L'\0') {
        const size_t end = units.find(L'\0', pos);
        out.push_back(units.substr(pos, end - pos));
        pos = end + 1;
    }
    EXPECT_EQ(units.size(), pos + 1) << "units after the list's final NUL";
    return out;
}

void DeleteValue(const wchar_t* subKey, const wchar_t* name, REGSAM view) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) return;
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

void DeleteTree(const wchar_t* subKey) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, subKey);
}

bool KeyExists(const wchar_t* subKey) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

Snapshot::Snapshot(const wchar_t* subKey, const wchar_t* name)
    : subKey_(subKey), name_(name), keyExisted_(KeyExists(subKey)), value_(ReadValue(subKey, name)) {}

Snapshot::~Snapshot() {
    if (!keyExisted_) {
        DeleteTree(subKey_.c_str());
    } else if (value_.exists) {
        SetValue(subKey_.c_str(), name_.c_str(), value_.type, value_.bytes);
    } else {
        DeleteValue(subKey_.c_str(), name_.c_str());
    }
}

KeySnapshot::KeySnapshot(const wchar_t* subKey) : subKey_(subKey), keyExisted_(KeyExists(subKey)) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    wchar_t name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD length = 16384;
        if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        values_.emplace_back(name, Stored());
    }
    RegCloseKey(key);
    for (auto& v : values_) v.second = ReadValue(subKey, v.first.c_str());
}

KeySnapshot::~KeySnapshot() {
    DeleteTree(subKey_.c_str());
    if (!keyExisted_) return;
    CreateKey(subKey_.c_str());
    for (const auto& v : values_) SetValue(subKey_.c_str(), v.first.c_str(), v.second.type, v.second.bytes);
}

}  // namespace testreg
