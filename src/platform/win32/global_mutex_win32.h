// What the Windows statistics object needs of a handle of the global cache mutex.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

// The statistics object as one handle of the mutex keeps it mapped
// (statistics_object_win32.cpp); used only under the mutex. The held handle keeps the
// object alive across a server's restart, and the next server uses it again, so the
// mapping never goes stale.
struct KeptStatistics {
  HANDLE handle = nullptr;
  void* view = nullptr;
  std::size_t size = 0;
  ULONGLONG nextLook = 0;  // while there is none, when to look again (tick count)
};
KeptStatistics& StatisticsKeptBy(GlobalMutex* mutex);
// Unmaps and closes what the handle kept; when the handle closes.
void ReleaseKeptStatistics(KeptStatistics* kept);

}  // namespace tq5::platform
