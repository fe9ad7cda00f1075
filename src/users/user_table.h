// The user table: the region's second table, one UserEntry per cached user, found by
// (domain name, user name) without regard to case. Like the role table it is reached
// only through a region bound by RegionTables, and scans stop at the high-water mark
// clamped into the table. All of it expects the caller to hold the global cache mutex.
#pragma once

#include <cstdint>

#include "region/layout.h"
#include "region/text.h"

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

class UserTable {
 public:
  explicit UserTable(const region::RegionTables& tables) : tables_(tables) {}

  int32_t capacity() const { return tables_.userCapacity(); }
  // Slots below this are the only ones searched or listed.
  int32_t highWater() const { return tables_.userScanLimit(); }
  UserEntry* at(int64_t index) const { return tables_.user(index); }

  // Counts a user newly stored at `index`, raising the mark when the slot is the mark.
  void Occupy(int32_t index) const;
  // Frees an entry: no roles in either set, not in use, one user fewer. Its other bytes
  // stay as they were.
  void Free(UserEntry& entry) const;

 private:
  region::RegionTables tables_;
};

// The first in-use entry below `limit` with both names equal to the key's; -1 if none.
int32_t FindUserEntry(const UserKey& key, int32_t limit, const UserTable& table);
// The first free slot below `limit`, else `limit` (clamped into the table).
int32_t FindFreeUserSlot(int32_t limit, const UserTable& table);

}  // namespace tq5::users
