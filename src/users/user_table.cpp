#include "users/user_table.h"

#include <cstring>

#include "region/statistics.h"

namespace tq5::users {

using region::EqualsIgnoringAsciiCase;

ResultCode CheckUserNames(const char* domainName, const char* userName, UserKey* key) {
  std::size_t domainLength = 0;
  std::size_t userLength = 0;
  const ResultCode rc =
      region::CheckUserNameLengths(domainName, userName, &domainLength, &userLength);
  if (rc != CACHE_OK) return rc;
  std::memcpy(key->domainName, domainName, domainLength);
  std::memcpy(key->userName, userName, userLength);
  return CACHE_OK;
}

void UserTable::Occupy(int32_t index) const {
  CacheHeader& header = tables_.header();
  if (index == highWater()) header.userHighWater = index + 1;
  if (header.userActiveCount < INT32_MAX) ++header.userActiveCount;
  index_.Insert(index);
  if (const UserEntry* entry = at(index)) {
    index_.ForgetFailedAnswer(entry->domainName, entry->userName);
  }
}

void UserTable::Free(UserEntry& entry) const {
  index_.Remove(static_cast<int32_t>(&entry - tables_.users()));
  FreeEntry(entry);
}

void UserTable::FreeEntry(UserEntry& entry) const {
  entry.roleCount = 0;
  entry.currentRoleCount = 0;
  entry.inUse = 0;
  int32_t& count = tables_.header().userActiveCount;
  if (count > 0) --count;
}

int32_t FindIndexedUserEntry(const UserKey& key, int32_t limit, const UserTable& table) {
  const region::UserIndex& index = table.index();
  if (!index.active()) return -1;
  // Checked against the table by the index itself: in use, below the mark, both names
  // equal.
  const int32_t found = index.Find(key.domainName, key.userName);
  if (found < 0 || found >= limit) return -1;
  region::Count(region::Counter::IndexHits);
  return found;
}

int32_t ScanForUserEntry(const UserKey& key, int32_t limit, const UserTable& table) {
  if (limit > table.highWater()) limit = table.highWater();
  for (int32_t i = 0; i < limit; ++i) {
    const UserEntry* entry = table.at(i);
    if (entry->inUse == 1 && EqualsIgnoringAsciiCase(entry->userName, key.userName) &&
        EqualsIgnoringAsciiCase(entry->domainName, key.domainName)) {
      if (table.index().active()) {
        // Stored by a process of another build, or an index that was damaged.
        region::Count(region::Counter::IndexMisses);
        table.index().Insert(i);
      }
      return i;
    }
  }
  return -1;
}

int32_t FindUserEntry(const UserKey& key, int32_t limit, const UserTable& table) {
  if (limit > table.highWater()) limit = table.highWater();
  const int32_t found = FindIndexedUserEntry(key, limit, table);
  return found >= 0 ? found : ScanForUserEntry(key, limit, table);
}

}  // namespace tq5::users
