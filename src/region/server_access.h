// Who may use the objects and the cache file a server creates: resolved from the
// machine's "access" setting by the server's start-up, and used by everything it creates
// afterwards, so that one start-up never mixes two answers.
#pragma once

#include <string>

#include "platform/object_access.h"

namespace tq5::region {

// Reads the setting afresh (a start-up). A refusal (CACHE_E_MUTEX_CREATE), its reason
// noted for platform::TakeAccessProblem too, when it names no usable group.
platform::Status ResolveServerAccess();

// The access resolved by the latest start-up, resolving it now when there was none (a
// process that creates the region without the server's start-up). Refused as above.
platform::Status ServerAccess(platform::ObjectAccess* access);

// Forgets it, so that the next start-up reads the setting again.
void ForgetServerAccess();

}  // namespace tq5::region
