// The tray application's shared-files entry and application file list, on the
// real registry and private-profile files.
#include <gtest/gtest.h>

#include "registry.h"
#include "steps/tray_application.h"
#include "spy.h"
#include "testbed.h"

using namespace vtpi;
using testreg::List;

namespace {

const std::wstring kTray = L"C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe";
const std::wstring kShared = L"Software\\Tessavar\\SharedFiles";

std::wstring Entry(const wchar_t* name) { return kShared + L"\\" + name; }

void SetEntry(const std::wstring& name, const std::wstring& path, const List* ids) {
    testreg::SetString(Entry(name.c_str()).c_str(), L"Path", path);
    if (ids) testreg::SetList(Entry(name.c_str()).c_str(), L"AppIds", *ids);
}

class SharedFiles : public testing::Test {
protected:
    testbed::ScratchDir install_{L"install"};

    void SetUp() override { testreg::DeleteTree(L"Software\\Tessavar"); }
    void TearDown() override {
        spy::Detach();
        spy::Clear();
        testreg::DeleteTree(L"Software\\Tessavar");
    }
    std::wstring FileList() const { return install_.path() + L"\\VTFILES41.LST"; }
    // The "AppId" the file list holds for `section`, or "(missing)".
    std::wstring ListedId(const std::wstring& section) const {
        wchar_t value[64];
        GetPrivateProfileStringW(section.c_str(), L"AppId", L"(missing)", value, 64, FileList().c_str());
        return value;
    }
    static std::vector<std::wstring> Subkeys() {
        std::vector<std::wstring> out;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kShared.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
        wchar_t name[256];
        for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i) out.push_back(name);
        RegCloseKey(key);
        return out;
    }
};

TEST_F(SharedFiles, AFirstRegistrationMakesEntry1AndTheFileListSection) {
    RegisterTrayApplication(testbed::InstallPathsFor(install_.path()));
    const testreg::Stored path = testreg::ReadValue(Entry(L"Entry1").c_str(), L"Path");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), path.type);
    EXPECT_EQ((kTray.size() + 1) * 2, path.bytes.size());
    EXPECT_EQ(kTray, std::wstring(reinterpret_cast<const wchar_t*>(path.bytes.data())));
    EXPECT_EQ(14u, testreg::ReadValue(Entry(L"Entry1").c_str(), L"AppIds").bytes.size());
    EXPECT_EQ(List{L"VTDE5"}, testreg::ReadList(Entry(L"Entry1").c_str(), L"AppIds"));
    EXPECT_EQ(L"VTDE5", ListedId(kTray));

    // Again: everything is found in place and nothing is written.
    spy::Scope spy(GetModuleHandleW(nullptr));
    RegisterTrayApplication(testbed::InstallPathsFor(install_.path()));
    EXPECT_EQ(0, spy::CountOf("RegSetValueExW"));
    EXPECT_EQ(std::vector<std::wstring>{L"Entry1"}, Subkeys());
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(SharedFiles, AMatchingEntryGetsTheIdLastAndKeepsItsPath) {
    std::wstring upper = kTray;
    for (wchar_t& c : upper) c = towupper(c);
    const List ids = {L"APP1", L"APP2"};
    SetEntry(L"Entry4", upper, &ids);
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    EXPECT_EQ((List{L"APP1", L"APP2", L"VTDE5"}), testreg::ReadList(Entry(L"Entry4").c_str(), L"AppIds"));
    const testreg::Stored path = testreg::ReadValue(Entry(L"Entry4").c_str(), L"Path");
    EXPECT_EQ(upper, std::wstring(reinterpret_cast<const wchar_t*>(path.bytes.data())));

    // Listed already, in another case: nothing is written.
    const List listed = {L"vtde5"};
    SetEntry(L"Entry4", kTray, &listed);
    spy::Scope spy(GetModuleHandleW(nullptr));
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    EXPECT_EQ(0, spy::CountOf("RegSetValueExW"));
    EXPECT_EQ("", spy::DescribeHeld());

    // Without an "AppIds" value: it is made with the id alone.
    testreg::DeleteValue(Entry(L"Entry4").c_str(), L"AppIds");
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    EXPECT_EQ(List{L"VTDE5"}, testreg::ReadList(Entry(L"Entry4").c_str(), L"AppIds"));
    EXPECT_EQ(std::vector<std::wstring>{L"Entry4"}, Subkeys());
}

TEST_F(SharedFiles, ANewEntryTakesTheLowestFreeNumberWhateverTheCase) {
    SetEntry(L"ENTRY1", L"C:\\one.dll", nullptr);
    SetEntry(L"Entry3", L"C:\\three.dll", nullptr);
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    EXPECT_EQ(List{L"VTDE5"}, testreg::ReadList(Entry(L"Entry2").c_str(), L"AppIds"));
    EXPECT_EQ(3u, Subkeys().size());
}

// An entry left without its "Path" by a call that ended halfway is reused,
// the lowest first, before a new number is taken.
TEST_F(SharedFiles, AnEntryWithoutAPathIsReusedFirst) {
    SetEntry(L"Entry1", L"C:\\one.dll", nullptr);
    testreg::CreateKey(Entry(L"Entry2").c_str());
    const List stale = {L"OLD"};
    testreg::SetList(Entry(L"Entry3").c_str(), L"AppIds", stale);
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    const testreg::Stored path = testreg::ReadValue(Entry(L"Entry2").c_str(), L"Path");
    ASSERT_TRUE(path.exists);
    EXPECT_EQ(kTray, std::wstring(reinterpret_cast<const wchar_t*>(path.bytes.data())));
    EXPECT_EQ(List{L"VTDE5"}, testreg::ReadList(Entry(L"Entry2").c_str(), L"AppIds"));
    EXPECT_EQ(3u, Subkeys().size());
    // Found by its path from then on; the next file takes Entry3.
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    RegisterSharedFile(L"C:\\two.dll", L"VTDE5");
    EXPECT_EQ(List{L"VTDE5"}, testreg::ReadList(Entry(L"Entry3").c_str(), L"AppIds"));
    EXPECT_EQ(3u, Subkeys().size());
}

TEST_F(SharedFiles, ALongSubkeyNameDoesNotEndTheSearch) {
    // Enumerated first: 200 units, more than a 64-unit name buffer takes.
    SetEntry(std::wstring(200, L'A'), L"C:\\other.dll", nullptr);
    const List ids = {L"APP1"};
    SetEntry(L"Entry7", kTray, &ids);
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    EXPECT_EQ((List{L"APP1", L"VTDE5"}), testreg::ReadList(Entry(L"Entry7").c_str(), L"AppIds"));
    EXPECT_EQ(2u, Subkeys().size());
}

TEST_F(SharedFiles, AnIdListOfAnySizeKeepsEveryId) {
    List ids;
    for (int i = 0; i < 3000; ++i) ids.push_back(L"Application" + std::to_wstring(i));  // about 90 KB
    SetEntry(L"Entry1", kTray, &ids);
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    ids.push_back(L"VTDE5");
    EXPECT_EQ(ids, testreg::ReadList(Entry(L"Entry1").c_str(), L"AppIds"));

    // A list that cannot be read is left alone.
    ids.pop_back();
    SetEntry(L"Entry1", kTray, &ids);
    spy::Scope spy(GetModuleHandleW(nullptr));
    spy::Fail("RegQueryValueExW", ERROR_ACCESS_DENIED, L"AppIds");
    RegisterSharedFile(kTray.c_str(), L"VTDE5");
    EXPECT_EQ(0, spy::CountOf("RegSetValueExW"));
    EXPECT_EQ("", spy::DescribeHeld());
}

TEST_F(SharedFiles, AnEmptyIdTouchesNothing) {
    spy::Scope spy(GetModuleHandleW(nullptr));
    RegisterSharedFile(kTray.c_str(), L"");
    EXPECT_TRUE(spy::Calls().empty());
}

TEST_F(SharedFiles, WithoutTheTrayApplicationOnlyTheFileListIsWritten) {
    const std::wstring moved = kTray + L".away";
    ASSERT_TRUE(MoveFileW(kTray.c_str(), moved.c_str()));
    {
        spy::Scope spy(GetModuleHandleW(nullptr));
        RegisterTrayApplication(testbed::InstallPathsFor(install_.path()));
        EXPECT_EQ(0, spy::CountOf("RegCreateKeyExW"));
    }
    MoveFileW(moved.c_str(), kTray.c_str());
    EXPECT_FALSE(testreg::KeyExists(kShared.c_str()));
    EXPECT_EQ(L"VTDE5", ListedId(kTray));
}

TEST_F(SharedFiles, TheProgramFilesFolderComesFromTheShellThenTheRegistryThenTheDefault) {
    const wchar_t* currentVersion = L"Software\\Microsoft\\Windows\\CurrentVersion";
    testreg::Snapshot programFiles(currentVersion, L"ProgramFilesDir");
    const std::wstring folder = L"C:\\testbed\\pf";
    testreg::SetString(currentVersion, L"ProgramFilesDir", folder);
    const std::wstring fromRegistry = folder + L"\\Veltrane Tray Manager\\VtTrayManager.exe";

    struct Case {
        const char* what;
        const char* function;
        const wchar_t* detail;
        std::wstring section;
    };
    const Case cases[] = {
        {"shell folder unknown", "SHGetSpecialFolderLocation", nullptr, fromRegistry},
        {"shell path not converted", "SHGetPathFromIDListW", nullptr, fromRegistry},
        {"registry value unreadable as well", "SHGetSpecialFolderLocation", nullptr,
         L"C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(FileList().c_str());
        spy::Scope spy(GetModuleHandleW(nullptr));
        spy::Fail(c.function, ERROR_FILE_NOT_FOUND);
        if (c.section != fromRegistry) spy::Fail("RegOpenKeyExW", ERROR_FILE_NOT_FOUND, currentVersion);
        RegisterTrayApplication(testbed::InstallPathsFor(install_.path()));
        EXPECT_EQ(L"VTDE5", ListedId(c.section));
        // The ID list is freed and the allocator released.
        EXPECT_EQ("", spy::DescribeHeld());
    }
}

}  // namespace
