// The process's hold on the shared region, with the operations that every other
// subsystem uses to reach it. The region operations expect the caller to hold the global
// cache mutex (region/locks.h).
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "region/layout.h"
#include "region/locks.h"

namespace tq5::region {

// One set per process, shared by all its threads, empty when the library loads. What
// the global cache mutex guards is read and changed only under it.
struct ProcessState {
  // Written by the start-up and shut-down exports without a lock, read by every call.
  std::atomic<CacheMutexHandle*> cacheMutex{nullptr};
  // The server's section, for as long as it serves.
  platform::Section* regionMapping TQ5_GUARDED_BY(cacheMutexCapability) = nullptr;
  // A client call's view, for the length of the call.
  platform::RegionView* clientView TQ5_GUARDED_BY(cacheMutexCapability) = nullptr;
  // The bytes of whichever of the two this process has.
  MappedRegion regionView TQ5_GUARDED_BY(cacheMutexCapability);
  // The capacities this process created the region with (while regionMapping is its
  // own creation); -1 when it did not create the region it holds.
  int32_t createdRoleCapacity TQ5_GUARDED_BY(cacheMutexCapability) = -1;
  int32_t createdUserCapacity TQ5_GUARDED_BY(cacheMutexCapability) = -1;
  std::atomic<platform::ProcessMutex*> processLock{nullptr};
};

// This process's hold on the region: one per process, shared by all its threads.
ProcessState& ProcessRegion();

// The server's region: created, mapped, flushed, unmapped and closed by it. What fails
// says why in its Status, which the export that called it answers with. With it the
// objects beside it: the statistics, and the user index, which keeps failed answers for
// `negativeSeconds` (0: none).
platform::Status CreateRegion(int32_t roleCapacity, int32_t userCapacity,
                              uint32_t negativeSeconds = 0) TQ5_REQUIRES(cacheMutexCapability);
platform::Status MapRegion() TQ5_REQUIRES(cacheMutexCapability);
platform::Status UnmapRegion() TQ5_REQUIRES(cacheMutexCapability);
// Writes the view's bytes through to the object: CACHE_E_FLUSH_VIEW with the system's
// reason when that fails, CACHE_E_REGION_NOT_MAPPED or CACHE_E_REGION_NOT_OPEN without
// a view to flush.
platform::Status FlushRegionView() TQ5_REQUIRES(cacheMutexCapability);
// The same as the code alone, for a caller that only compares it.
inline ResultCode FlushRegion() TQ5_REQUIRES(cacheMutexCapability) {
  return FlushRegionView().code();
}
// Whether the server's own view may be touched: CACHE_E_MAP_VIEW once its object has
// been shrunk under it. CACHE_OK for any other view (a client's is checked when it is
// acquired) and without one.
platform::Status CheckServerView() TQ5_REQUIRES(cacheMutexCapability);
// Closes this process's handle on the section (the view must be unmapped first).
void CloseMapping() TQ5_REQUIRES(cacheMutexCapability);
// A client call's view of the region, acquired for the call and released at its end.
// CACHE_E_REGION_ALREADY_OPEN when the process has a view already (the server's own, or
// an outer call's), which the call then uses.
platform::Status AcquireRegionView() TQ5_REQUIRES(cacheMutexCapability);
void ReleaseRegionView() TQ5_REQUIRES(cacheMutexCapability);

}  // namespace tq5::region
