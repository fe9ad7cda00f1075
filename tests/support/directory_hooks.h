// What only tests do to the directory access: swap the component, or make the next fetch
// create a new object. Built into the tests that link the library's core, never into the
// library itself.
#pragma once

#include "directory/directory_access.h"

namespace tq5::directory {

// Makes later fetches use `access` (null: the platform's) and a new object of it. The
// object held so far is let go without its release operation, as after a failed
// InitializeCache: a worker that outlived its fetch may still be inside a call on it.
// `access` must stay valid as long as any worker may use it. Takes the process lock.
void UseDirectoryAccess(const DirectoryAccess* access);

// Lets go of the held object (as above), so that the next fetch creates a new one, for
// instance after the directory setting has changed. Takes the process lock.
void ForgetDirectoryObject();

}  // namespace tq5::directory
