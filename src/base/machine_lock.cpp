#include "base/machine_lock.h"

#include "base/trace.h"

namespace vtpi {

MachineLock::MachineLock(const char* name) : mutex_(CreateMutexA(nullptr, FALSE, name)) {
    if (!mutex_) {
        Trace("call lock %hs not created, error %lu: going on without it", name, GetLastError());
        return;
    }
    const DWORD waited = WaitForSingleObject(mutex_.get(), INFINITE);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (waited == WAIT_ABANDONED) Trace("call lock: left by a call that ended midway, taken over");
}

MachineLock::~MachineLock() {
    if (held_) ReleaseMutex(mutex_.get());
}

}  // namespace vtpi
