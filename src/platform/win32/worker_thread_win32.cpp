#include <new>

#include "platform/win32/windows_api.h"
#include "platform/worker_thread.h"

namespace tq5::platform {

// Only the handle: the thread itself never sees this struct, so the waiter may free it
// while a worker that outlived its wait is still running.
struct WorkerThread {
  HANDLE handle;
};

namespace {

// What the thread runs; it belongs to the thread, which frees it when the work is done.
struct Work {
  void (*run)(void*);
  void* argument;
};

DWORD WINAPI RunWork(LPVOID parameter) {
  Work* work = static_cast<Work*>(parameter);
  work->run(work->argument);
  delete work;
  return 0;
}

}  // namespace

WorkerThread* StartWorkerThread(void (*work)(void*), void* argument) {
  auto* thread = new (std::nothrow) WorkerThread{nullptr};
  auto* job = new (std::nothrow) Work{work, argument};
  if (thread == nullptr || job == nullptr) {
    delete thread;
    delete job;
    return nullptr;
  }
  // Default security and stack size; it runs at once.
  thread->handle = CreateThread(nullptr, 0, RunWork, job, 0, nullptr);
  if (thread->handle == nullptr) {
    delete job;
    delete thread;
    return nullptr;
  }
  return thread;
}

bool WaitWorkerThread(WorkerThread* thread, uint32_t timeoutMs) {
  static_assert(kWaitForever == INFINITE, "the wait passes the limit on unchanged");
  return WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
}

void ReleaseWorkerThread(WorkerThread* thread) {
  if (thread == nullptr) return;
  // Closing the handle does not stop the thread. A worker that is still inside a
  // directory call is abandoned rather than terminated: terminating it could leave the
  // heap lock or the COM runtime's state held for good.
  CloseHandle(thread->handle);
  delete thread;
}

}  // namespace tq5::platform
