#include "base/machine_lock.h"

#include <stddef.h>

#include "base/system_library.h"
#include "base/trace.h"

namespace vtpi {

namespace {

template <int SidBytes>
struct AllowedAce {
    ACE_HEADER header;
    ACCESS_MASK mask;
    BYTE sid[SidBytes];
};

// A self-relative security descriptor, built here rather than by calls that
// older systems lack: owned by Administrators, with a DACL that lets SYSTEM
// and Administrators use the mutex and nobody else open it.
struct LockDescriptor {
    SECURITY_DESCRIPTOR_RELATIVE header;
    ACL dacl;
    AllowedAce<12> system;
    AllowedAce<16> administrators;
    BYTE owner[16];  // Administrators
};

const LockDescriptor kLockDescriptor = {
    {SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT | SE_SELF_RELATIVE, offsetof(LockDescriptor, owner), 0, 0,
     offsetof(LockDescriptor, dacl)},
    {ACL_REVISION, 0, sizeof(ACL) + sizeof(AllowedAce<12>) + sizeof(AllowedAce<16>), 2, 0},
    // S-1-5-18, SYSTEM.
    {{ACCESS_ALLOWED_ACE_TYPE, 0, sizeof(AllowedAce<12>)}, MUTEX_ALL_ACCESS, {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}},
    // S-1-5-32-544, Administrators.
    {{ACCESS_ALLOWED_ACE_TYPE, 0, sizeof(AllowedAce<16>)}, MUTEX_ALL_ACCESS,
     {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}},
    {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0},
};

bool SameSid(const BYTE* sid, const BYTE* expected, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        if (sid[i] != expected[i]) return false;
    }
    return true;
}

using GetKernelObjectSecurityFn = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD, DWORD*);

// Whether the object's owner is SYSTEM or Administrators; false when it
// cannot be read.
bool OwnedBySystemOrAdministrators(HANDLE object) {
    // Looked up at run time: 98 has no security.
    const auto query = reinterpret_cast<GetKernelObjectSecurityFn>(
        LoadedFunction("advapi32.dll", "GetKernelObjectSecurity"));
    // A self-relative descriptor with the owner alone: its header and at most
    // a SID of 15 sub-authorities.
    DWORD buffer[32];
    DWORD needed = 0;
    if (!query || !query(object, OWNER_SECURITY_INFORMATION, buffer, sizeof(buffer), &needed)) return false;
    const auto* header = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(buffer);
    if (header->Owner == 0 || header->Owner > sizeof(buffer) - 16) return false;
    const BYTE* owner = reinterpret_cast<const BYTE*>(buffer) + header->Owner;
    return SameSid(owner, kLockDescriptor.system.sid, 12) || SameSid(owner, kLockDescriptor.administrators.sid, 16);
}

}  // namespace

DWORD MachineLock::Take(const char* name, bool guarded) {
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = const_cast<LockDescriptor*>(&kLockDescriptor);
    attributes.bInheritHandle = FALSE;
    *mutex_.receive() = CreateMutexA(guarded ? &attributes : nullptr, FALSE, name);
    const DWORD created = GetLastError();
    if (!mutex_) {
        Trace("call lock %hs not created, error %lu: going on without it", name, created);
        return ERROR_SUCCESS;
    }
    if (guarded && created == ERROR_ALREADY_EXISTS && !OwnedBySystemOrAdministrators(mutex_.get())) {
        mutex_.Close();
        Trace("call lock %hs made by another account: going on without it", name);
        return ERROR_SUCCESS;
    }
    const DWORD waited = WaitForSingleObject(mutex_.get(), guarded ? kGuardedLockWaitMs : INFINITE);
    if (waited == WAIT_TIMEOUT) return ERROR_TIMEOUT;
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (waited == WAIT_ABANDONED) Trace("call lock: left by a call that ended midway, taken over");
    return ERROR_SUCCESS;
}

MachineLock::~MachineLock() {
    if (held_) ReleaseMutex(mutex_.get());
}

}  // namespace vtpi
