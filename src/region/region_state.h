// The process's hold on the shared region and the two locks, with the operations that
// every other subsystem uses to reach the region. The region operations expect the
// caller to hold the global cache mutex.
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "region/layout.h"

namespace tq5::region {

// One set per process, shared by all its threads, empty when the library loads.
struct ProcessState {
  // Written by the start-up and shut-down exports without a lock, read by every call.
  std::atomic<platform::GlobalMutex*> cacheMutex{nullptr};
  platform::Section* regionMapping = nullptr;  // changed only under the global cache mutex
  MappedRegion regionView;                     // changed only under the global cache mutex
  std::atomic<platform::ProcessMutex*> processLock{nullptr};
};

ProcessState& State();

// The global cache mutex; without one (no start-up export called) they do nothing.
void LockCache();
void UnlockCache();
// The process lock, guarding the per-process fetch state.
void LockProcess();
void UnlockProcess();

ResultCode CreateRegion(int32_t roleCapacity, int32_t userCapacity);
ResultCode OpenRegion();
ResultCode MapRegion();
ResultCode UnmapRegion();
ResultCode FlushRegion();
// The client's attach and detach around one call.
ResultCode AttachRegion();
ResultCode DetachRegion();

}  // namespace tq5::region
