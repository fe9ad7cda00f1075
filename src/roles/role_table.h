// The role table: the region's first table, one RoleEntry per role of the directory.
// Cached users hold roles by slot number only, so an in-use role never moves.
//
// Every reach into role entries goes through RoleTable, which sits on a region bound by
// RegionTables (capacity checked against the mapped bytes) and scans only below the
// high-water mark clamped into the table, so that no header value, however damaged,
// leads outside the mapping. All of it expects the caller to hold the global cache
// mutex.
#pragma once

#include <cstdint>

#include "region/free_slot.h"
#include "region/layout.h"

namespace tq5::roles {

class RoleTable {
 public:
  explicit RoleTable(const region::RegionTables& tables) : tables_(tables) {}

  int32_t capacity() const { return tables_.roleCapacity(); }
  // Slots below this are the only ones searched, listed or counted.
  int32_t highWater() const { return tables_.roleScanLimit(); }

  // The entry at `index`, or null outside the table.
  RoleEntry* at(int64_t index) const { return tables_.role(index); }

  // The region the table belongs to, for the release rule's reach into the user table.
  const region::RegionTables& tables() const { return tables_; }

  // Writes `records` as the whole table from slot 0; entries from `count` on become
  // dead. `count` is at most the capacity.
  void Load(const RoleEntry* records, int32_t count) const;

  // Copies `record` whole into the free slot `index` (below the capacity), makes its
  // `slot` the index, raises the mark when the slot is the mark and counts the entry.
  void Place(int32_t index, const RoleEntry& record) const;

  // Every in-use entry below the mark gets `listed` 0, ahead of a merge.
  void UnmarkAll() const;

  // The release rule over every entry below the mark.
  void ReleaseAllUnused() const;

  void CountUp() const;
  void CountDown() const;

 private:
  region::RegionTables tables_;
};

// The index of the in-use entry among the first `searchCount` whose name and id equal
// the key's, both without regard to case; -1 when there is none. The first match in
// index order wins. Only the key's `name` and `id` are read.
int32_t FindRoleEntry(const RoleEntry& key, int32_t searchCount, const RoleTable& table);
int32_t FindRoleEntry(const RoleNameId& key, int32_t searchCount, const RoleTable& table);

// The slot for a new role: the lowest free slot below `highWater`, else `highWater`
// itself (clamped into the table). The caller compares the answer with the capacity.
inline int32_t FindFreeRoleSlot(int32_t highWater, const RoleTable& table) {
  return region::FindFreeSlot(highWater, table);
}

// The release rule: an in-use entry that is neither listed nor held by any cached user
// is freed (inUse 0, one fewer active role); its other bytes and the mark stay, and the
// slot leaves every cached user's current set. True when it freed the entry. An index
// outside the table or at or above the mark frees nothing.
bool ReleaseRoleIfUnused(const RoleTable& table, int64_t index);

}  // namespace tq5::roles
