// The region's invariants, checked over a mapped region or a cache file's image, and
// the repair of everything that can be derived from the rest: the figures a process
// keeps by counting up and down, which a process that dies in the middle of a change
// leaves wrong for good. Nothing here takes a lock; the caller holds the global cache
// mutex over a live region.
#pragma once

#include <string>
#include <vector>

#include "region/layout.h"
#include "region/locks.h"
#include "tq5orvcache_admin.h"

namespace tq5::region {

// The findings (tq5orvcache_admin.h declares them, for the command that prints them):
// one line per violation, naming the entry and what it holds against what it should
// (none from CountRegionFaults, which writes no text); how many violations were found;
// and whether the capacities do not fit the bytes, so that nothing else could be looked
// at or mended.
using RegionFindings = admin::Findings;

// Checks every invariant of `region`. With `repair`, mends each violation it reports:
//  - high-water marks clamped into their tables;
//  - an occupied entry's `slot` set to its index, and its texts terminated;
//  - set counts clamped into 0..128, and set entries that name a free role or a slot
//    outside 0..roleHighWater-1 dropped (the rest keep their order);
//  - each role's `userRefs` recounted from the committed sets of the occupied users,
//    and a role then unlisted and unreferenced freed;
//  - the active counts recounted from the occupied entries below the marks.
// A sound region is left exactly as it was, byte for byte.
// Over the live region the caller holds the global cache mutex; the analysis asks it of
// every caller in the core (a cache file's image is checked by the tools alone).
RegionFindings CheckRegion(const MappedRegion& region, bool repair)
    TQ5_REQUIRES(cacheMutexCapability);

// The same check and repair, counting the violations without writing a line about
// them: it allocates nothing, so that it can run where a failed allocation must not
// stop it (the repair after an owner's death, with the mutex just taken).
RegionFindings CountRegionFaults(const MappedRegion& region, bool repair) noexcept
    TQ5_REQUIRES(cacheMutexCapability);

}  // namespace tq5::region
