// The slot a new entry takes in a table of the region (roles or users): the lowest free
// one below the high-water mark, else the mark itself, clamped into the table. The
// caller compares the answer with the capacity: the table is full when they are equal.
#pragma once

#include <cstdint>

namespace tq5::region {

// `Table` is roles::RoleTable or users::UserTable: capacity() and at(i)->inUse.
template <typename Table>
int32_t FindFreeSlot(int32_t highWater, const Table& table) {
  const int32_t limit = highWater < 0                  ? 0
                        : highWater > table.capacity() ? table.capacity()
                                                       : highWater;
  for (int32_t i = 0; i < limit; ++i) {
    if (table.at(i)->inUse == 0) return i;
  }
  return limit;
}

}  // namespace tq5::region
