// What a process does when it takes the global cache mutex from an owner that died
// holding it: the dead owner may have stopped in the middle of a commit, a merge, a
// store or a sweep, so the region's derived figures are checked and mended before any
// call goes on. This is the only place that handles an owner's death.
#pragma once

#include <cstdint>

namespace tq5::region {

// Runs with the global cache mutex just taken from a dead owner. Reaches the region the
// way a client call does (the process's own view when it has one), repairs it and lets
// go of the view it acquired. Without a region there is nothing to mend.
void RepairAfterOwnerDeath();

// How many repairs this process has made that changed the region; for tests and tools.
uint64_t RepairsMade();

}  // namespace tq5::region
