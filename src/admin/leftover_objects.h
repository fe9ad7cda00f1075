// The kernel objects a crashed server leaves behind, where names outlive their handles:
// one implementation per platform (posix/, win32/), used by RemoveLeftovers alone.
#pragma once

#include "tq5orvcache_admin.h"

namespace tq5::admin {

// Removes the region's object and the two beside it when no live server holds the
// region, and with `withMutex` the mutex's object when no process of this machine is
// seen to map it; each outcome goes into *report.
void RemoveLeftoverObjects(bool withMutex, LeftoverReport* report);

}  // namespace tq5::admin
