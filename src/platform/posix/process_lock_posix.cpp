#include <pthread.h>

#include <new>

#include "platform/platform.h"

namespace tq5::platform {

struct ProcessMutex {
  pthread_mutex_t mutex;
};

ProcessMutex* CreateProcessMutex() {
  auto* lock = new (std::nothrow) ProcessMutex;
  if (!lock) return nullptr;
  pthread_mutexattr_t attr;
  bool ok = pthread_mutexattr_init(&attr) == 0;
  ok = ok && pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
       pthread_mutex_init(&lock->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  if (!ok) {
    delete lock;
    return nullptr;
  }
  return lock;
}

void DestroyProcessMutex(ProcessMutex* mutex) {
  pthread_mutex_destroy(&mutex->mutex);
  delete mutex;
}

void LockProcessMutex(ProcessMutex* mutex) { pthread_mutex_lock(&mutex->mutex); }
void UnlockProcessMutex(ProcessMutex* mutex) { pthread_mutex_unlock(&mutex->mutex); }

}  // namespace tq5::platform
