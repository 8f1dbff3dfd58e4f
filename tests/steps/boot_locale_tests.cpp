// Pre-boot keyboard and language defaults, through real private-profile files
// on the testbed's two encrypted-file-system roots.
#include <gtest/gtest.h>


#include "steps/boot_locale.h"
#include "spy.h"
#include "testbed.h"

using namespace vtpi;

namespace {

const wchar_t* const kDeviceRoot = L"\\\\.\\VeltraneFS";
const wchar_t* const kUncRoot = L"\\\\Veltrane\\Vtfs";
const std::wstring kDeviceFolder = L"C:\\testbed\\efs\\device";
const std::wstring kUncFolder = L"C:\\testbed\\efs\\unc";

// Writes `text` as a file's whole content (the INI files here are ASCII).
void WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::string text(65536, '\0');
    DWORD read = 0;
    ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    return text;
}

std::wstring ReadEntry(const std::wstring& folder, const wchar_t* key) {
    wchar_t value[64];
    GetPrivateProfileStringW(L"Locale", key, L"(missing)", value, 64, (folder + L"\\Boot\\Bootcode.ini").c_str());
    return value;
}

class BootLocale : public testing::Test {
protected:
    testbed::ScratchDir install_{L"install"};
    std::wstring LocaleMap() const { return install_.path() + L"\\Locale\\Locale.ini"; }

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW((install_.path() + L"\\Locale").c_str(), nullptr));
        SetBootcode(kDeviceFolder, "[Locale]\r\n");
        SetBootcode(kUncFolder, "[Locale]\r\n");
    }
    // Both roots reachable, with the testbed's own Bootcode.ini, afterwards.
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        for (const std::wstring& folder : {kDeviceFolder, kUncFolder}) {
            SetReachable(folder, true);
            SetBootcode(folder, "[Locale]\r\nKeyboard=0407\r\n");
        }
    }
    void SetBootcode(const std::wstring& folder, const std::string& text) {
        WriteText(folder + L"\\Boot\\Bootcode.ini", text);
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, (folder + L"\\Boot\\Bootcode.ini").c_str());
    }
    void SetMap(const std::string& entries) {
        WriteText(install_.path() + L"\\Locale\\Locale.ini", "[LanguageIdMap]\r\n" + entries);
    }
    static void SetReachable(const std::wstring& folder, bool reachable) {
        const std::wstring probe = folder + L"\\Disk\\OrigMbr.dat";
        if (reachable) {
            WriteText(probe, "probe\n");
        } else {
            DeleteFileW(probe.c_str());
        }
    }
    void Ensure() {
        wchar_t root[MAX_PATH];
        if (FindEncryptedFsRoot(root, MAX_PATH)) EnsureBootLocale(LocaleMap().c_str(), root);
    }
    static std::vector<std::wstring> Details(const char* function) {
        std::vector<std::wstring> out;
        for (const auto& c : spy::CallsTo(function)) out.push_back(c.detail);
        return out;
    }
};

TEST_F(BootLocale, TheFirstReachableRootIsTheOneFilled) {
    wchar_t root[MAX_PATH];
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        ASSERT_TRUE(FindEncryptedFsRoot(root, MAX_PATH));
        EXPECT_STREQ(kDeviceRoot, root);
        EXPECT_EQ(1, spy::CountOf("CreateFileW"));  // the UNC probe is not made
        EXPECT_EQ("", spy::DescribeHeld());
    }
    Ensure();
    EXPECT_EQ(L"0409", ReadEntry(kDeviceFolder, L"Keyboard"));
    EXPECT_EQ(L"(missing)", ReadEntry(kUncFolder, L"Keyboard"));

    SetBootcode(kDeviceFolder, "[Locale]\r\n");
    SetReachable(kDeviceFolder, false);
    ASSERT_TRUE(FindEncryptedFsRoot(root, MAX_PATH));
    EXPECT_STREQ(kUncRoot, root);
    Ensure();
    EXPECT_EQ(L"0409", ReadEntry(kUncFolder, L"Language"));
    EXPECT_EQ(L"(missing)", ReadEntry(kDeviceFolder, L"Language"));

    SetReachable(kUncFolder, false);
    wcscpy(root, L"stale");
    EXPECT_FALSE(FindEncryptedFsRoot(root, MAX_PATH));
    EXPECT_STREQ(L"", root);
}

// Without the client's file system on this machine (no device root) the
// network root is not even probed: whoever answers the name "Veltrane" would
// get the elevated caller's credentials. The whole step then fills nothing.
TEST_F(BootLocale, WithoutTheDeviceRootTheNetworkRootIsNeverProbed) {
    SetReachable(kDeviceFolder, false);
    struct DeviceRootGone {
        DeviceRootGone() { EXPECT_TRUE(MoveFileW(kDeviceFolder.c_str(), (kDeviceFolder + L"-gone").c_str())); }
        ~DeviceRootGone() { MoveFileW((kDeviceFolder + L"-gone").c_str(), kDeviceFolder.c_str()); }
    } gone;
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_EQ(0u, FillBootLocale(LocaleMap().c_str()));
    for (const spy::Call& c : spy::CallsTo("CreateFileW")) EXPECT_EQ(std::wstring::npos, c.detail.find(L"\\\\Veltrane"));
    EXPECT_EQ("", spy::DescribeHeld());
    EXPECT_EQ(L"(missing)", ReadEntry(kUncFolder, L"Keyboard"));
}

TEST_F(BootLocale, WithoutAMapBothAreTheDefaultKeyboardFirstEachFlushed) {
    spy::Scope spy(GetModuleHandleW(nullptr));
    EnsureBootLocale(LocaleMap().c_str(), kDeviceRoot);
    EXPECT_EQ((std::vector<std::wstring>{L"Keyboard=0409", L"flush", L"Language=0409", L"flush"}),
              Details("WritePrivateProfileStringW"));
    EXPECT_EQ(L"0409", ReadEntry(kDeviceFolder, L"Keyboard"));
    EXPECT_EQ(L"0409", ReadEntry(kDeviceFolder, L"Language"));
}

TEST_F(BootLocale, PresentValuesStayAndEmptyOnesCountAsMissing) {
    SetMap("0409.Keyboard=KB\r\n0409.Language=LANG\r\n");
    SetBootcode(kDeviceFolder, "[Locale]\r\nKeyboard=0407\r\n");
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        EnsureBootLocale(LocaleMap().c_str(), kDeviceRoot);
        // Only the language is looked up and written.
        EXPECT_EQ((std::vector<std::wstring>{L"Keyboard", L"Language", L"0409.Language"}),
                  Details("GetPrivateProfileStringW"));
        EXPECT_EQ((std::vector<std::wstring>{L"Language=LANG", L"flush"}), Details("WritePrivateProfileStringW"));
    }
    EXPECT_EQ(L"0407", ReadEntry(kDeviceFolder, L"Keyboard"));

    SetBootcode(kDeviceFolder, "[Locale]\r\nKeyboard=\r\nLanguage=0C0C\r\n");
    EnsureBootLocale(LocaleMap().c_str(), kDeviceRoot);
    EXPECT_EQ(L"KB", ReadEntry(kDeviceFolder, L"Keyboard"));
    EXPECT_EQ(L"0C0C", ReadEntry(kDeviceFolder, L"Language"));

    // Both set: nothing is written, the map is not read.
    spy::Scope spy(GetModuleHandleW(nullptr));
    EnsureBootLocale(LocaleMap().c_str(), kDeviceRoot);
    EXPECT_EQ(2, spy::CountOf("GetPrivateProfileStringW"));
    EXPECT_EQ(0, spy::CountOf("WritePrivateProfileStringW"));
}

TEST_F(BootLocale, TheLow8BitKeyIsTheFallback) {
    // The testbed's language and layout are 0409: the map holds only 0009.
    SetMap("0009.Language=L9\r\n0009.Keyboard=K9\r\n");
    wchar_t code[16];
    LookupLanguageCode(LocaleMap().c_str(), code, 16);
    EXPECT_STREQ(L"L9", code);
    LookupKeyboardCode(LocaleMap().c_str(), code, 16);
    EXPECT_STREQ(L"K9", code);
}

TEST_F(BootLocale, ALayoutAbove0xFFFFTriesItsFullKeyThenTheLow8Bits) {
    SetMap("0409.Keyboard=FULL409\r\n");
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::SetKeyboardLayoutName(L"00010409");
    wchar_t code[16];
    LookupKeyboardCode(LocaleMap().c_str(), code, 16);
    EXPECT_EQ((std::vector<std::wstring>{L"10409.Keyboard", L"0009.Keyboard"}), Details("GetPrivateProfileStringW"));
    EXPECT_STREQ(L"0409", code);

    // A name that is not hexadecimal stands for the thread's layout handle.
    spy::Clear();
    spy::SetKeyboardLayoutName(L"zz");
    LookupKeyboardCode(LocaleMap().c_str(), code, 16);
    EXPECT_EQ(1, spy::CountOf("GetKeyboardLayout"));
    EXPECT_STREQ(L"FULL409", code);
}

TEST_F(BootLocale, ABootcodeThatIsNotAnIniFileGetsTheSectionAndKeepsItsLines) {
    // Text with no section at all: both entries count as missing. (The
    // profile functions rewrite a file as text: NUL bytes would not survive.)
    SetBootcode(kDeviceFolder, "BOOT SECTOR NOTES\r\nkey without section = 1\r\n\r\n");
    EnsureBootLocale(LocaleMap().c_str(), kDeviceRoot);
    EXPECT_EQ(L"0409", ReadEntry(kDeviceFolder, L"Keyboard"));
    EXPECT_EQ(L"0409", ReadEntry(kDeviceFolder, L"Language"));
    const std::string content = ReadText(kDeviceFolder + L"\\Boot\\Bootcode.ini");
    // The profile writer keeps the lines, normalising "key = value".
    EXPECT_EQ(0u, content.find("BOOT SECTOR NOTES\r\nkey without section=1\r\n")) << content;
}

TEST_F(BootLocale, AnOverLongMapValueIsCutToTheValueBuffer) {
    SetMap("0409.Keyboard=" + std::string(3000, 'K') + "\r\n");
    SetBootcode(kDeviceFolder, "[Locale]\r\nLanguage=0409\r\n");
    EnsureBootLocale(LocaleMap().c_str(), kDeviceRoot);
    wchar_t value[4096];
    GetPrivateProfileStringW(L"Locale", L"Keyboard", L"", value, 4096,
                             (kDeviceFolder + L"\\Boot\\Bootcode.ini").c_str());
    // 1023 units and the terminator: the lookup's value buffer.
    EXPECT_EQ(std::wstring(1023, L'K'), value);
}

}  // namespace
