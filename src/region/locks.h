// The two locks of the cache and the order in which they are taken.
//
// Lock order. The global cache mutex (CacheLock) guards the region, across processes and
// threads; the process lock (ProcessLock) guards this process's fetch state (the held
// directory object and the fetch's stand-ins); the roles a fetch brings are returned to
// its caller. A lookup miss that fetches inside the mutex takes the process lock inside
// it: mutex first, process lock second. The one exception is the fetch that must not hold
// the mutex (the sweep's refresh, an administrator's refresh, and misses in the
// "fetch-outside-lock" mode), all through users::FetchAndApply: it takes the process lock
// alone and lets it go, the answer in hand, before it waits for the mutex. So no thread
// ever waits for the global cache mutex while it holds the process lock, and the two
// cannot deadlock.
//
// Both are re-entrant for the thread that holds them, and each scoped lock releases
// exactly what it took, whatever happened to the process's state in between.
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "platform/thread_annotations.h"
#include "tq5orvcache.h"

namespace tq5::region {

// The two locks as the thread-safety analysis knows them: one capability each, taken by
// the scoped locks below. The global cache mutex is one machine-wide object however
// many handles a process has on it, so it is one capability, not one per handle.
struct TQ5_CAPABILITY("mutex") LockCapability {};
inline LockCapability cacheMutexCapability;
inline LockCapability processLockCapability;

// The process's handle on the global cache mutex. A lock keeps the handle it took and
// releases exactly that one, and the handle is closed only once no lock of the process
// holds it: a shut-down that races a call can neither free what the call uses nor
// leave the machine-wide mutex held. Handles are never freed, only closed.
struct CacheMutexHandle {
  explicit CacheMutexHandle(platform::GlobalMutex* m) : mutex(m) {}
  platform::GlobalMutex* const mutex;
  std::atomic<int> holders{0};       // locks of this process inside it
  std::atomic<bool> closing{false};  // the shut-down has let go of it
  std::atomic<bool> closed{false};   // the platform handle has been closed
};

// Start-up and shut-down of the process's handle on the global cache mutex.
void AdoptCacheMutex(platform::GlobalMutex* mutex);
void ReleaseCacheMutex();

// The global cache mutex, held for a scope. It takes the process's handle; a process
// without one (no start-up export called, the start-up failed, or the shut-down has
// let go of it) opens the mutex for the scope as the client start-up would, so that no
// call of any process reaches the region unguarded. When the previous owner died
// holding it, the region is repaired before the scope goes on.
class TQ5_SCOPED_CAPABILITY CacheLock {
 public:
  CacheLock() TQ5_ACQUIRE(cacheMutexCapability);
  ~CacheLock() TQ5_RELEASE();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
  // CACHE_OK, or CACHE_E_MUTEX_OPEN when the mutex could not be opened or taken, or
  // CACHE_E_NO_MEMORY when the allocations that reach it (or a repair it owes) failed:
  // the scope must then touch nothing. (The analysis takes every scope for a holder.)
  ResultCode status() const { return status_; }

 private:
  bool Take(platform::GlobalMutex* mutex);

  // First, so that it covers the take and the release of the mutex too.
  const platform::CallGuard guard_;
  CacheMutexHandle* held_ = nullptr;        // the process's handle, when it took that one
  platform::GlobalMutex* own_ = nullptr;    // else a handle of the scope's own
  platform::GlobalMutex* outer_ = nullptr;  // what the thread held before this scope
  ResultCode status_ = CACHE_OK;
};

// The handle through which this thread holds the global cache mutex (its innermost
// scope), or null while it holds none: what is kept per handle (the statistics
// object's mapping) is reached through it.
platform::GlobalMutex* HeldCacheMutex();
// A number that changes at every take of the global cache mutex by this thread: what a
// call checked once in its hold (an object's size) holds for the rest of it, where the
// fault guard covers a shrink in between, and is checked again at the next take.
uint64_t CacheHoldSerial();

// The process lock, held for a scope.
class TQ5_SCOPED_CAPABILITY ProcessLock {
 public:
  ProcessLock() TQ5_ACQUIRE(processLockCapability);
  ~ProcessLock() TQ5_RELEASE();
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;

 private:
  platform::ProcessMutex* held_;
};

}  // namespace tq5::region
