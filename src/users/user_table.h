// The user table: the region's second table, one UserEntry per cached user, found by
// (domain name, user name) without regard to case. Like the role table it is reached
// only through a region bound by RegionTables, and scans stop at the high-water mark
// clamped into the table. All of it expects the caller to hold the global cache mutex.
#pragma once

#include <cstdint>

#include "region/free_slot.h"
#include "region/layout.h"
#include "region/text.h"
#include "region/user_index.h"

namespace tq5::users {

inline constexpr int32_t kMaxNameLength = TQ5ORVCACHE_TEXT_SIZE - 1;

// A user's names as the table stores them, zero-padded to their fields, so that the
// search compares field with field.
struct UserKey {
  region::TextField domainName{};
  region::TextField userName{};
};

// Checks the two names of an operation that takes a user, domain name first: null
// pointers (-149), then lengths of 0 or more than 63 (-107, -108). Fills `key`.
ResultCode CheckUserNames(const char* domainName, const char* userName, UserKey* key);

// Every change to which slots hold which users goes through Occupy and Free (and
// FreeAll), which keep the user index beside the region right in the same hold of the
// mutex; searches go through FindUserEntry, which answers from the index only what the
// table confirms.
class UserTable {
 public:
  explicit UserTable(const region::RegionTables& tables)
      : tables_(tables), index_(region::UserIndex::Of(tables)) {}

  int32_t capacity() const { return tables_.userCapacity(); }
  // Slots below this are the only ones searched or listed.
  int32_t highWater() const { return tables_.userScanLimit(); }
  UserEntry* at(int64_t index) const { return tables_.user(index); }
  const region::UserIndex& index() const { return index_; }

  // Counts a user newly stored at `index` (its names written, in use), raising the mark
  // when the slot is the mark; the index names it, and a failed answer kept for its
  // names is forgotten.
  void Occupy(int32_t index) const;
  // Frees an entry: out of the index, no roles in either set, not in use, one user
  // fewer. Its other bytes stay as they were.
  void Free(UserEntry& entry) const;
  // Frees every in-use entry below the mark, each after `release` (which gives up its
  // roles), and empties the index at once.
  template <typename Release>
  void FreeAll(Release release) const {
    index_.Clear();
    for (int32_t i = 0; i < highWater(); ++i) {
      UserEntry& entry = *at(i);
      if (entry.inUse != 1) continue;
      release(entry);
      FreeEntry(entry);
    }
  }

 private:
  void FreeEntry(UserEntry& entry) const;

  region::RegionTables tables_;
  region::UserIndex index_;
};

// The first in-use entry below `limit` with both names equal to the key's; -1 if none.
// The index is asked first; when it names no slot that holds the key, the table is
// scanned as it always was, and the index mended with what the scan found.
int32_t FindUserEntry(const UserKey& key, int32_t limit, const UserTable& table);
// The two halves of FindUserEntry, for a caller with something to do in between: the
// slot the index names, checked against the table (-1: none); and the scan.
int32_t FindIndexedUserEntry(const UserKey& key, int32_t limit, const UserTable& table);
int32_t ScanForUserEntry(const UserKey& key, int32_t limit, const UserTable& table);
// The first free slot below `limit`, else `limit` (clamped into the table).
inline int32_t FindFreeUserSlot(int32_t limit, const UserTable& table) {
  return region::FindFreeSlot(limit, table);
}

}  // namespace tq5::users
