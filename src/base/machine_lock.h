// A machine-wide named mutex held for a scope, so that two processes never
// run the same work at once.
#pragma once

#include <windows.h>

#include "base/owner.h"

namespace vtpi {

// CreateMutexA reports failure as a null handle.
struct KernelObjectKind {
    using Handle = HANDLE;
    static Handle None() { return nullptr; }
    static void Release(Handle object) { CloseHandle(object); }
};

// Waits for the mutex with no upper bound, and takes over one whose holder
// ended without releasing it. When the mutex cannot be created the scope goes
// on without it: a lock that others can deny must not stop the work.
class MachineLock {
public:
    explicit MachineLock(const char* name);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

private:
    Owner<KernelObjectKind> mutex_;
    bool held_ = false;
};

}  // namespace vtpi
