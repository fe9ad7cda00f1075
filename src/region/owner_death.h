// What a process does when it takes the global cache mutex from an owner that died
// holding it: the dead owner may have stopped in the middle of a commit, a merge, a
// store or a sweep, so the region's derived figures are checked and mended before any
// call goes on. This is the only place that repairs the live region.
#pragma once

#include <atomic>
#include <cstdint>

#include "region/region_check.h"

namespace tq5::region {

// Runs with the global cache mutex just taken from a dead owner. Reaches the region the
// way a client call does (the process's own view when it has one), repairs it and lets
// go of the view it acquired. Without a region there is nothing to mend. Never throws:
// false when the repair could not be made (no memory to reach the region), which the
// caller must then make at its next take of the mutex.
bool RepairAfterOwnerDeath() noexcept TQ5_REQUIRES(cacheMutexCapability);

// Set while this process owes the repair that a take of the mutex from a dead owner
// could not make (no memory to reach the region); changed only under the mutex, read
// by every take without a call.
inline std::atomic<bool> repairOwed{false};

// What a take of the global cache mutex runs, with the mutex just taken, when the
// previous owner died or `repairOwed` is set: the repair. Never throws; false while the
// repair is still owed (the caller then lets the mutex go without touching the region).
bool RepairOnTake() noexcept TQ5_REQUIRES(cacheMutexCapability);

// The same repair of the server's own region while it serves, for damage that no dying
// owner left (a stray writer): the caller holds the global cache mutex. The findings,
// each mended; sound when nothing was wrong, unbound when it could not be mended.
RegionFindings RepairServerRegion() TQ5_REQUIRES(cacheMutexCapability);

// How many repairs this process has made that changed the region; for tests and tools.
uint64_t RepairsMade();

}  // namespace tq5::region
