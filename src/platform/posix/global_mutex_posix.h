// What the POSIX region needs of the global cache mutex's object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace tq5::platform {

// The current region as the servers record it beside the mutex, read and written only
// under the mutex: a client's kept view is the current region exactly when it is the
// object recorded here, so no call needs to ask the kernel (kept_views_posix.cpp).
struct RegionRecord {
  uint64_t generation;  // changed whenever a server creates or removes the region
  uint64_t device;      // the region's object; zeros while there is none
  uint64_t inode;
  uint64_t size;
};

// The record beside the global cache mutex that this thread holds, or null while it
// holds none. The mutex's lock and unlock keep track, so the region's calls need no
// parameter to know which mutex guards them.
RegionRecord* HeldRegionRecord();
// The record beside `mutex`, for what is kept per region generation (the objects
// beside the region).
RegionRecord& CurrentRegion(GlobalMutex* mutex);

// An object beside the region as one handle of the mutex keeps it mapped
// (side_objects_posix.cpp); used only under the mutex.
struct KeptSideObject {
  void* view = nullptr;
  std::size_t size = 0;
  int fd = -1;              // the object, to see at every use that it was not shrunk under the view
  uint64_t generation = 0;  // the region's generation it was looked for in
  bool looked = false;      // looked for in that generation (view null: none there)
};
KeptSideObject& SideObjectKeptBy(GlobalMutex* mutex, SideObjectKind kind);
// Unmaps what the handle kept; when the handle closes.
void ReleaseKeptSideObject(KeptSideObject* kept);

// Whether a live server holds the region now (section_posix.cpp).
bool LiveServerHoldsRegion();

}  // namespace tq5::platform
