// The directory component as the fetch reaches it: the platform's own, or a stand-in put
// in its place (a test's, or one that a tool links in).
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

// Makes later fetches use `access` (null: the platform's) and a new object of it. The
// object held so far is let go without its release operation, as after a failed
// InitializeCache: a worker that outlived its fetch may still be inside a call on it.
// `access` must stay valid as long as any worker may use it. Takes the process lock.
void UseDirectoryAccess(const DirectoryAccess* access);

// Lets go of the held object (as above), so that the next fetch creates a new one, for
// instance after TQ5ORVCACHE_DIRECTORY has changed. Takes the process lock.
void ForgetDirectoryObject();

}  // namespace tq5::directory
