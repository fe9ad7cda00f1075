#include "platform/win32/global_mutex_win32.h"

#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/win32/object_security_win32.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

// A Win32 mutex already has every property the cache mutex needs: it is owned per
// thread and re-entrant, and a waiter gets it (abandoned) when its owner dies.
struct GlobalMutex {
  HANDLE handle;
  KeptSideObject sideObjects[kSideObjectKinds];
};

namespace {

Status Wrap(HANDLE handle, GlobalMutex** out) {
  auto* mutex = new (std::nothrow) GlobalMutex{handle, {}};
  if (mutex == nullptr) {
    CloseHandle(handle);
    return Status::Refused(CACHE_E_NO_MEMORY, "new", "GlobalMutex", "out of memory");
  }
  *out = mutex;
  return {};
}

}  // namespace

Status CreateGlobalMutex(GlobalMutex** out, const ObjectAccess& access) {
  *out = nullptr;
  const std::string name = ObjectName(kCacheMutexName);
  win32::SecurityAttributes security;
  const ResultCode built = security.ForObject(access, win32::kMutexRights);
  if (built != CACHE_OK) return Status::Failed(built, "security descriptor", name);
  // An existing mutex of this name is opened by the same call; it serves as well as a
  // new one, so ERROR_ALREADY_EXISTS is not a failure. Restricted, the call asks only
  // for the rights its DACL grants, or opening an existing one would be refused.
  const HANDLE handle = access.restricted
                            ? CreateMutexExA(security.get(), name.c_str(), 0, win32::kMutexRights)
                            : CreateMutexA(security.get(), FALSE, name.c_str());
  if (handle == nullptr) {
    return Status::Failed(CACHE_E_MUTEX_CREATE,
                          access.restricted ? "CreateMutexExA" : "CreateMutexA", name);
  }
  return Wrap(handle, out);
}

Status OpenGlobalMutex(GlobalMutex** out) {
  *out = nullptr;
  // Waiting and releasing is all a client does with it.
  const std::string name = ObjectName(kCacheMutexName);
  HANDLE handle = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  if (handle == nullptr) return Status::Failed(CACHE_E_MUTEX_OPEN, "OpenMutexA", name);
  return Wrap(handle, out);
}

// A mutex ends with its last handle: there is never an object to remove.

void CloseGlobalMutex(GlobalMutex* mutex) {
  if (mutex == nullptr) return;
  for (KeptSideObject& kept : mutex->sideObjects) ReleaseKeptSideObject(&kept);
  CloseHandle(mutex->handle);
  delete mutex;
}

KeptSideObject& SideObjectKeptBy(GlobalMutex* mutex, SideObjectKind kind) {
  return mutex->sideObjects[static_cast<int>(kind)];
}

LockOutcome LockGlobalMutex(GlobalMutex* mutex) {
  switch (WaitForSingleObject(mutex->handle, INFINITE)) {
    case WAIT_OBJECT_0:
      return LockOutcome::Taken;
    case WAIT_ABANDONED:
      // Ours now; its owner died holding it. A taker that dies before it releases
      // abandons it again, so the next one is told as well.
      return LockOutcome::OwnerDied;
    default: {
      const long error = LastSystemError();  // before the name's text can change it
      NoteFailed(CACHE_E_MUTEX_OPEN, "WaitForSingleObject", ObjectName(kCacheMutexName), error);
      return LockOutcome::Failed;
    }
  }
}

void MarkGlobalMutexConsistent(GlobalMutex*) {}

void UnlockGlobalMutex(GlobalMutex* mutex) { ReleaseMutex(mutex->handle); }

}  // namespace tq5::platform
