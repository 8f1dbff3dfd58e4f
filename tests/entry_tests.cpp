// IDLL_helper through the DLL, and the guard that keeps the registration's
// faults from ending the setup program.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "dll.h"
#include "entry/guard.h"
#include "filters/filter_list.h"
#include "registry.h"
#include "services.h"
#include "services/service_control.h"
#include "spy.h"
#include "testbed.h"

using namespace vtpi;

namespace {

void* HandlerChain() {
    void* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

int g_finished = 0;
void Finish(const wchar_t*) { ++g_finished; }
void Throw(const wchar_t*) { throw std::runtime_error("thrown inside the guard"); }
void Fault(const wchar_t*) { *static_cast<volatile int*>(nullptr) = 1; }

TEST(Guard, StopsCppAndStructuredExceptionsAndRestoresTheHandlerChain) {
    void* const chain = HandlerChain();
    EXPECT_TRUE(RunGuarded(Finish, L""));
    EXPECT_EQ(1, g_finished);
    EXPECT_FALSE(RunGuarded(Throw, L""));
    EXPECT_EQ(chain, HandlerChain());
    EXPECT_FALSE(RunGuarded(Fault, L""));
    EXPECT_EQ(chain, HandlerChain());
    // Still usable after both.
    EXPECT_TRUE(RunGuarded(Finish, L""));
    EXPECT_EQ(2, g_finished);
}

// The machine state that a whole install or uninstall changes, put back.
class Helper : public testing::Test {
protected:
    testreg::FilterListsSnapshot lists_;
    testbed::ScratchDir ansi_{L"ansi"};

    void TearDown() override {
        spy::Detach();
        spy::Clear();
        testsvc::ResetServices();
        testreg::DeleteTree(L"Software\\Tessavar");
    }
    static int Run(const std::string& dir, int install) { return testdll::Helper()(dir.c_str(), install, 0x77); }
    static std::wstring ListedId(const std::wstring& dir) {
        wchar_t value[64];
        GetPrivateProfileStringW(L"C:\\Program Files\\Veltrane Tray Manager\\VtTrayManager.exe", L"AppId",
                                 L"(missing)", value, 64, (dir + L"\\VTFILES41.LST").c_str());
        return value;
    }
};

TEST_F(Helper, BytesAbove127ArriveAsTheUnitsOfTheSameValue) {
    // 0x80 is the euro sign (U+20AC) in the ANSI code page, U+0080 here.
    const std::wstring wide = ansi_.path() + L"\\\u0080";
    ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr));
    const std::string narrow = "C:\\testbed\\ansi\\\x80";
    EXPECT_EQ(0, Run(narrow, 1));
    EXPECT_EQ(L"VTDE5", ListedId(wide));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), testsvc::State(kClientManagerService));

    // The uninstall flag runs the uninstall sequence after the same registration.
    DeleteFileW((wide + L"\\VTFILES41.LST").c_str());
    EXPECT_EQ(0, Run(narrow, 0));
    EXPECT_EQ(L"VTDE5", ListedId(wide));
    EXPECT_TRUE(testsvc::WaitUntilGone(kClientManagerService));
    EXPECT_EQ(testreg::List{L"PartMgr"}, testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
}

// Refused before the registration too: nothing is recorded anywhere.
TEST_F(Helper, ANullTooLongOrRelativeDirectoryChangesNothing) {
    spy::Scope spy(testdll::Module());
    EXPECT_EQ(-1, testdll::Helper()(nullptr, 1, 0));
    EXPECT_EQ(-1, Run("C:\\" + std::string(VTPI_MAX_INSTALL_DIR - 2, 'd'), 1));
    EXPECT_EQ(-1, Run(std::string(260, 'd'), 0));
    for (const char* relative : {"", "ansi", "C:ansi", "\\testbed\\ansi"}) {
        EXPECT_EQ(-1, Run(relative, 1)) << relative;
        EXPECT_EQ(-1, Run(relative, 0)) << relative;
    }
    EXPECT_TRUE(spy::Calls().empty());
}

TEST_F(Helper, AnAccessViolationInTheRegistrationIsSwallowedAndTheSequenceRuns) {
    spy::Scope spy(testdll::Module());
    spy::Fail("SHGetSpecialFolderLocation", spy::kAccessViolation);
    EXPECT_EQ(0, Run("C:\\testbed\\ansi", 1));
    // The registration stopped at the fault; the whole sequence ran after it.
    EXPECT_EQ(L"(missing)", ListedId(ansi_.path()));
    EXPECT_EQ(testreg::List({L"VELTRANE", L"PartMgr"}), testreg::ReadList(kDiskClassKey, kUpperFiltersValue));
    EXPECT_TRUE(testsvc::Exists(kClientManagerService));

    // The sequence's own failure still comes back.
    spy::Clear();
    spy::Fail("OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr, 0, -1);
    spy::Fail("SHGetSpecialFolderLocation", spy::kAccessViolation);
    EXPECT_EQ(-1, Run("C:\\testbed\\ansi", 0));
}

}  // namespace
