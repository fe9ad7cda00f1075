// Worker threads on POSIX: a detachable pthread whose end is signalled through a
// condition variable, so that the wait can have a limit.
#include <pthread.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "platform/worker_thread.h"

namespace tq5::platform {

struct WorkerThread {
  void (*work)(void*) = nullptr;
  void* argument = nullptr;
  pthread_t thread{};
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ended_changed;
  bool ended = false;     // guarded by mutex
  bool released = false;  // guarded by mutex: the owner has let go; the thread frees this
};

namespace {

void Destroy(WorkerThread* thread) {
  pthread_cond_destroy(&thread->ended_changed);
  pthread_mutex_destroy(&thread->mutex);
  delete thread;
}

void* Run(void* argument) {
  auto* thread = static_cast<WorkerThread*>(argument);
  thread->work(thread->argument);
  pthread_mutex_lock(&thread->mutex);
  thread->ended = true;
  const bool released = thread->released;
  pthread_cond_broadcast(&thread->ended_changed);
  pthread_mutex_unlock(&thread->mutex);
  // Nobody waits any more: the last one out cleans up.
  if (released) Destroy(thread);
  return nullptr;
}

// The monotonic clock `ms` milliseconds from now, so that a change of the wall clock
// neither shortens nor stretches the wait.
timespec DeadlineAfter(uint32_t ms) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long nanos =
      static_cast<long long>(now.tv_nsec) + static_cast<long long>(ms % 1000) * 1000000;
  timespec deadline{};
  deadline.tv_sec =
      now.tv_sec + static_cast<time_t>(ms / 1000) + static_cast<time_t>(nanos / 1000000000);
  deadline.tv_nsec = static_cast<long>(nanos % 1000000000);
  return deadline;
}

}  // namespace

WorkerThread* StartWorkerThread(void (*work)(void*), void* argument) {
  auto* thread = new (std::nothrow) WorkerThread;
  if (!thread) return nullptr;
  thread->work = work;
  thread->argument = argument;
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) {
    delete thread;
    return nullptr;
  }
  const bool ready = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
                     pthread_cond_init(&thread->ended_changed, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (!ready) {
    delete thread;
    return nullptr;
  }
  if (pthread_create(&thread->thread, nullptr, Run, thread) != 0) {
    Destroy(thread);
    return nullptr;
  }
  return thread;
}

bool WaitWorkerThread(WorkerThread* thread, uint32_t timeoutMs) {
  pthread_mutex_lock(&thread->mutex);
  if (timeoutMs == kWaitForever) {
    while (!thread->ended) pthread_cond_wait(&thread->ended_changed, &thread->mutex);
  } else {
    const timespec deadline = DeadlineAfter(timeoutMs);
    while (!thread->ended) {
      if (pthread_cond_timedwait(&thread->ended_changed, &thread->mutex, &deadline) == ETIMEDOUT) {
        break;
      }
    }
  }
  const bool ended = thread->ended;
  pthread_mutex_unlock(&thread->mutex);
  return ended;
}

void ReleaseWorkerThread(WorkerThread* thread) {
  pthread_mutex_lock(&thread->mutex);
  const bool ended = thread->ended;
  const pthread_t handle = thread->thread;
  thread->released = !ended;
  pthread_mutex_unlock(&thread->mutex);
  if (ended) {
    // The work is over; the join only waits for the thread's last few instructions.
    pthread_join(handle, nullptr);
    Destroy(thread);
  } else {
    // From here on the thread may free `thread` at any moment: use the copied handle.
    pthread_detach(handle);
  }
}

}  // namespace tq5::platform
