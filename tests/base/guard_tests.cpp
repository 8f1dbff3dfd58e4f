// The guard: what it unwinds and what it does not.
#include <gtest/gtest.h>

#include "base/guard.h"
#include "base/owner.h"
#include "base/seh.h"
#include "base/wow64.h"
#include "spy.h"
#include "testbed.h"

using namespace vtpi;

namespace {

int g_finished = 0;
void Finish(const void*) { ++g_finished; }

// What the handler of a frame between the fault and the guard was called for.
int g_searched = 0;
int g_unwound = 0;

EXCEPTION_DISPOSITION __cdecl RecordCall(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    ++((record->ExceptionFlags & EXCEPTION_UNWINDING) ? g_unwound : g_searched);
    return ExceptionContinueSearch;
}

// Registers a handler frame of its own (on the stack, as the system demands)
// and faults beneath it.
void FaultBeneathOwnFrame(const void*) {
    HandlerRecord frame = {HandlerChain(), reinterpret_cast<void*>(&RecordCall)};
    SetHandlerChain(&frame);
    *static_cast<volatile int*>(nullptr) = 1;
    SetHandlerChain(frame.next);
}

TEST(Guard, RunsTheHandlersBetweenTheFaultAndItselfAndRestoresTheHandlerChain) {
    HandlerRecord* const chain = HandlerChain();
    EXPECT_TRUE(RunGuarded(Finish, nullptr));
    EXPECT_EQ(1, g_finished);
    EXPECT_EQ(chain, HandlerChain());

    EXPECT_FALSE(RunGuarded(FaultBeneathOwnFrame, nullptr));
    // The frame's handler was asked first, then told of the unwind.
    EXPECT_EQ(1, g_searched);
    EXPECT_EQ(1, g_unwound);
    EXPECT_EQ(chain, HandlerChain());
    // Still usable afterwards.
    EXPECT_TRUE(RunGuarded(Finish, nullptr));
    EXPECT_EQ(2, g_finished);
}

int g_destroyed = 0;
struct CountsItsEnd {
    ~CountsItsEnd() { ++g_destroyed; }
};

// Holds a key and a heap block, turns redirection off, and faults.
void FaultHoldingAKeyAndABlock(const void*) {
    CountsItsEnd first;
    RegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM", 0, KEY_READ, key.receive());
    HeapBlock block;
    block.Allocate(64);
    NativeFileSystem native;
    CountsItsEnd second;
    *static_cast<volatile int*>(nullptr) = 1;
}

// Redirection comes back through the scope's own handler record; the
// destructors of the owners between the fault and the guard never run.
TEST(Guard, PutsRedirectionBackButLeavesWhatTheWorkHeld) {
    HandlerRecord* const chain = HandlerChain();
    spy::Scope spy(GetModuleHandleW(nullptr));
    EXPECT_FALSE(RunGuarded(FaultHoldingAKeyAndABlock, nullptr));
    EXPECT_EQ(chain, HandlerChain());
    EXPECT_EQ(0, g_destroyed);
    const int off = spy::CountOf("Wow64DisableWow64FsRedirection");
    EXPECT_EQ(testbed::OnWow64() ? 1 : 0, off);
    EXPECT_EQ(off, spy::CountOf("Wow64RevertWow64FsRedirection"));
    if (testbed::OnWow64()) {
        // Redirected again: the system directory is the 32-bit one, which has no drivers.
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(testbed::SystemDriverCopy().c_str()));
    }
    std::vector<std::string> held;
    for (const spy::Resource& r : spy::Held()) {
        held.push_back(r.kind);
        if (r.kind == "key") RegCloseKey(static_cast<HKEY>(const_cast<void*>(r.handle)));
        if (r.kind == "heap") HeapFree(GetProcessHeap(), 0, const_cast<void*>(r.handle));
    }
    EXPECT_EQ((std::vector<std::string>{"key", "heap"}), held);
}

}  // namespace
