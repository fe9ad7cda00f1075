// What the POSIX section needs of the global cache mutex's object.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tq5::platform {

// The current region as the servers record it beside the mutex, read and written only
// under the mutex: a client's kept view is the current region exactly when it is the
// object recorded here, so no call needs to ask the kernel.
struct RegionRecord {
  uint64_t generation;  // changed whenever a server creates or removes the region
  uint64_t device;      // the region's object; zeros while there is none
  uint64_t inode;
  uint64_t size;
};

RegionRecord& CurrentRegion(GlobalMutex* mutex);

// Whether a live server holds the region now (section_posix.cpp).
bool LiveServerHoldsRegion();

}  // namespace tq5::platform
