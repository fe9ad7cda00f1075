// What the server's start-up accepts of a cache file. Shared with the command's file
// inspection, so that a file it calls usable is one a starting server builds from.
#pragma once

#include <cstdint>

#include "region/layout.h"

namespace tq5::region {

enum class HeaderFault {
  None,
  Capacities,  // negative, or tables no section can hold
  RoleMarks,   // role high-water or count outside 0..capacity, count above the mark
  UserMarks    // the same for the users
};

// A table's mark within its capacity and its count within the mark.
constexpr bool MarksFit(int32_t capacity, int32_t highWater, int32_t activeCount) {
  return highWater >= 0 && highWater <= capacity && activeCount >= 0 && activeCount <= highWater;
}

// A header that a region can be built from: capacities a section can hold, marks
// within them, counts within the marks.
constexpr HeaderFault FindHeaderFault(const CacheHeader& h) {
  if (!ValidCapacities(h.roleCapacity, h.userCapacity)) return HeaderFault::Capacities;
  if (!MarksFit(h.roleCapacity, h.roleHighWater, h.roleActiveCount)) return HeaderFault::RoleMarks;
  if (!MarksFit(h.userCapacity, h.userHighWater, h.userActiveCount)) return HeaderFault::UserMarks;
  return HeaderFault::None;
}

// The bytes a file must hold for its header's tables to be read: header and tables.
// Only meaningful for a header without fault; bytes beyond are ignored.
constexpr uint64_t CacheImageSize(const CacheHeader& h) {
  return RegionSize(h.roleCapacity, h.userCapacity);
}

}  // namespace tq5::region
