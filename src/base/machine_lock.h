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

// How long a guarded lock is waited for: 10 minutes.
constexpr DWORD kGuardedLockWaitMs = 10 * 60 * 1000;

class MachineLock {
public:
    MachineLock() = default;
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    // Takes the mutex `name`, and takes over one whose holder ended without
    // releasing it. Guarded, the mutex is made owned by Administrators and
    // usable by SYSTEM and Administrators alone; one that exists already and
    // is owned by anyone else was made to hold the work up and is not waited
    // for; and the wait ends after kGuardedLockWaitMs with ERROR_TIMEOUT.
    // Unguarded (where the system has no security), the wait has no bound.
    // A mutex that cannot be made or opened is gone on without: a lock that
    // others can deny must not stop the work. ERROR_SUCCESS otherwise.
    DWORD Take(const char* name, bool guarded);

private:
    Owner<KernelObjectKind> mutex_;
    bool held_ = false;
};

}  // namespace vtpi
