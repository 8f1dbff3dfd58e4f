// The DLL's resources as Windows reads them: the version resource and the
// manifest that makes it run with the setup program's own rights.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dll.h"

namespace {

TEST(DllResources, VersionResourceCarries5_2_11_6InTheUkEnglishBlock) {
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(testdll::Module(), path, MAX_PATH));
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    ASSERT_NE(0u, size);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, handle, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0x00050002u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x000B0006u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00050002u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x000B0006u, fixed->dwProductVersionLS);

    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\080904b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"5.2.11.6", text);
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\080904b0\\ProductVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(L"5.2.11.6", text);
}

TEST(DllResources, ManifestAsksForTheInvokersRightsWithoutUiAccess) {
    HRSRC resource = FindResourceW(testdll::Module(), MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, resource);
    const char* data = static_cast<const char*>(LockResource(LoadResource(testdll::Module(), resource)));
    ASSERT_NE(nullptr, data);
    const std::string manifest(data, SizeofResource(testdll::Module(), resource));
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
}

}  // namespace
