// The install folder's check and every path built from it, the trailing
// backslash rule included.
#include <gtest/gtest.h>

#include <string>

#include "VtPostInstall.h"
#include "steps/install_paths.h"

using namespace vtpi;

namespace {

struct Expected {
    const wchar_t* folder;
    const wchar_t* clientManager;
    const wchar_t* driverCopy;
    const wchar_t* localeMap;
    const wchar_t* fileList;
};

TEST(InstallPaths, EachIsTheFolderAsGivenThenItsNameAndTheDriverCopyHasOneBackslash) {
    const Expected cases[] = {
        {L"C:\\Veltrane", L"C:\\Veltrane\\VtClientManager.exe", L"C:\\Veltrane\\veltrane.sys",
         L"C:\\Veltrane\\Locale\\Locale.ini", L"C:\\Veltrane\\VTFILES41.LST"},
        {L"C:\\Veltrane\\", L"C:\\Veltrane\\\\VtClientManager.exe", L"C:\\Veltrane\\veltrane.sys",
         L"C:\\Veltrane\\\\Locale\\Locale.ini", L"C:\\Veltrane\\\\VTFILES41.LST"},
        {L"\\\\server\\share", L"\\\\server\\share\\VtClientManager.exe", L"\\\\server\\share\\veltrane.sys",
         L"\\\\server\\share\\Locale\\Locale.ini", L"\\\\server\\share\\VTFILES41.LST"},
        {L"c:\\", L"c:\\\\VtClientManager.exe", L"c:\\veltrane.sys", L"c:\\\\Locale\\Locale.ini",
         L"c:\\\\VTFILES41.LST"},
    };
    for (const Expected& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.folder)));
        InstallPaths paths;
        ASSERT_TRUE(BuildInstallPaths(c.folder, paths));
        EXPECT_EQ(c.folder, paths.folder);
        EXPECT_EQ(std::wstring(c.clientManager), paths.clientManager);
        EXPECT_EQ(L"\"" + std::wstring(c.clientManager) + L"\"", paths.clientManagerImage);
        EXPECT_EQ(std::wstring(c.driverCopy), paths.driverCopy);
        EXPECT_EQ(std::wstring(c.localeMap), paths.localeMap);
        EXPECT_EQ(std::wstring(c.fileList), paths.fileList);
    }
}

TEST(InstallPaths, OnlyAnAbsoluteFolderOfAtMostTheLimitIsTaken) {
    // At the limit, the longest path (the quoted image path) still fits.
    const std::wstring longest = L"C:\\" + std::wstring(VTPI_MAX_INSTALL_DIR - 3, L'd');
    InstallPaths paths;
    ASSERT_TRUE(BuildInstallPaths(longest.c_str(), paths));
    EXPECT_EQ(static_cast<size_t>(MAX_PATH - 1), std::wstring(paths.clientManagerImage).size());

    const std::wstring tooLong = longest + L"d";
    for (const wchar_t* refused : {static_cast<const wchar_t*>(nullptr), L"", L"Veltrane", L"\\Veltrane",
                                   L"C:Veltrane", L"C:/Veltrane", L"1:\\Veltrane", L"\\\\server", L"\\\\server\\",
                                   L"\\\\\\share", L"\\\\server\\\\share", tooLong.c_str(),
                                   // No folder name holds these; a quote would end the service's image path.
                                   L"C:\\Program Files\\Veltrane\" -evil \"x", L"C:\\a<b", L"C:\\a>b", L"C:\\a|b",
                                   L"C:\\a*", L"C:\\a?", L"C:\\a\tb", L"C:\\a\x1F", L"C:\\a:b", L"\\\\srv:1\\share",
                                   // The verbatim and device namespaces, and pipes on any
                                   // host, either slash a separator.
                                   L"\\\\?\\C:\\Veltrane", L"\\\\.\\C:\\Veltrane", L"\\\\.\\pipe\\x", L"\\\\./pipe\\x",
                                   L"\\\\?/C:\\Veltrane", L"\\\\localhost\\pipe\\x", L"\\\\server\\PIPE",
                                   L"\\\\server/pipe\\x", L"\\\\server\\Pipe/x"}) {
        SCOPED_TRACE(refused ? testing::PrintToString(std::wstring(refused)) : "null");
        EXPECT_FALSE(BuildInstallPaths(refused, paths));
    }
    // A share whose name only starts with "pipe", or a folder of that name, is taken.
    for (const wchar_t* taken : {L"\\\\server\\pipes\\x", L"\\\\server\\share\\pipe", L"C:\\pipe"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(taken)));
        EXPECT_TRUE(BuildInstallPaths(taken, paths));
    }
}

}  // namespace
