// What the Windows objects beside the region need of a handle of the global cache mutex.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

// An object beside the region as one handle of the mutex keeps it mapped
// (side_objects_win32.cpp); used only under the mutex. The held handle keeps the
// object alive across a server's restart, and the next server uses it again, so the
// mapping never goes stale.
struct KeptSideObject {
  HANDLE handle = nullptr;
  void* view = nullptr;
  std::size_t size = 0;
  ULONGLONG nextLook = 0;  // while there is none, when to look again (tick count)
};
KeptSideObject& SideObjectKeptBy(GlobalMutex* mutex, SideObjectKind kind);
// Unmaps and closes what the handle kept; when the handle closes.
void ReleaseKeptSideObject(KeptSideObject* kept);

}  // namespace tq5::platform
