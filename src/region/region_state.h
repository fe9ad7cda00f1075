// The process's hold on the shared region and the two locks, with the operations that
// every other subsystem uses to reach the region. The region operations expect the
// caller to hold the global cache mutex.
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "region/layout.h"

namespace tq5::region {

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

// One set per process, shared by all its threads, empty when the library loads.
struct ProcessState {
  // Written by the start-up and shut-down exports without a lock, read by every call.
  std::atomic<CacheMutexHandle*> cacheMutex{nullptr};
  platform::Section* regionMapping = nullptr;  // changed only under the global cache mutex
  MappedRegion regionView;                     // changed only under the global cache mutex
  // The capacities this process created the region with (while regionMapping is its
  // own creation); -1 when it did not create the region it holds.
  int32_t createdRoleCapacity = -1;  // changed only under the global cache mutex
  int32_t createdUserCapacity = -1;  // changed only under the global cache mutex
  std::atomic<platform::ProcessMutex*> processLock{nullptr};
};

ProcessState& State();

// Start-up and shut-down of the process's handle on the global cache mutex.
void AdoptCacheMutex(platform::GlobalMutex* mutex);
void ReleaseCacheMutex();

// The global cache mutex, held for a scope. Without a handle (no start-up export
// called, or after the shut-down) it holds nothing and the scope runs unguarded. When
// the previous owner died holding it, the region is repaired before the scope goes on.
class CacheLock {
 public:
  CacheLock();
  ~CacheLock();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
  // CACHE_OK, or CACHE_E_MUTEX_OPEN when the mutex could not be taken: the scope must
  // then touch nothing.
  ResultCode status() const { return status_; }

 private:
  CacheMutexHandle* held_ = nullptr;
  ResultCode status_ = CACHE_OK;
};
// The process lock, guarding the per-process fetch state.
void LockProcess();
void UnlockProcess();

ResultCode CreateRegion(int32_t roleCapacity, int32_t userCapacity);
ResultCode OpenRegion();
ResultCode MapRegion();
ResultCode UnmapRegion();
ResultCode FlushRegion();
// Closes this process's handle on the section (the view must be unmapped first).
void CloseMapping();
// The client's attach and detach around one call.
ResultCode AttachRegion();
ResultCode DetachRegion();

}  // namespace tq5::region
