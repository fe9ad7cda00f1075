// The directory component as the fetch reaches it: the platform's own, or a stand-in
// that a test puts in its place (tests/support/directory_hooks.h).
#pragma once

#include <string>

#include "platform/directory_component.h"

namespace tq5::directory {

struct DirectoryAccess {
  platform::ApartmentJoin (*joinApartment)();
  void (*leaveApartment)();
  platform::DirectoryObject* (*createObject)();
  bool (*toComponentString)(const char* text, std::wstring* out);
};

// The platform's component (COM on Windows, the provider of TQ5ORVCACHE_DIRECTORY on
// POSIX).
const DirectoryAccess& PlatformDirectoryAccess();

}  // namespace tq5::directory
