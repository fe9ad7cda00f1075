#include <new>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

// An unnamed mutex: re-entrant per thread like the cache mutex, seen by no other process.
struct ProcessMutex {
  HANDLE handle;
};

ProcessMutex* CreateProcessMutex() {
  HANDLE handle = CreateMutexA(nullptr, FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  auto* mutex = new (std::nothrow) ProcessMutex{handle};
  if (mutex == nullptr) CloseHandle(handle);
  return mutex;
}

void DestroyProcessMutex(ProcessMutex* mutex) {
  if (mutex == nullptr) return;
  CloseHandle(mutex->handle);
  delete mutex;
}

void LockProcessMutex(ProcessMutex* mutex) { WaitForSingleObject(mutex->handle, INFINITE); }

void UnlockProcessMutex(ProcessMutex* mutex) { ReleaseMutex(mutex->handle); }

}  // namespace tq5::platform
