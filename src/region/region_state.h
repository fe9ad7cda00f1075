// The process's hold on the shared region, with the operations that every other
// subsystem uses to reach it. The region operations expect the caller to hold the global
// cache mutex (region/locks.h).
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "region/layout.h"
#include "region/locks.h"

namespace tq5::region {

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

// This process's hold on the region: one per process, shared by all its threads.
ProcessState& ProcessRegion();

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
