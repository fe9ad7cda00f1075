#include "roles/role_table.h"

#include <cstring>

#include "region/text.h"

namespace tq5::roles {

using region::EqualsIgnoringAsciiCase;

void RoleTable::Load(const RoleEntry* records, int32_t count) const {
  int32_t active = 0;
  int32_t i = 0;
  for (; i < count; ++i) {
    RoleEntry* entry = at(i);
    if (!entry) break;
    // memmove: a caller may hand in bytes of the region itself.
    std::memmove(entry, &records[i], sizeof *entry);
    entry->slot = i;
    // Only what the table treats as in use is counted, so that the count stays the
    // number of in-use entries even for a record given with another inUse.
    if (entry->inUse == 1) ++active;
  }
  CacheHeader& header = tables_.header();
  header.roleHighWater = i;
  header.roleActiveCount = active;
}

void RoleTable::Place(int32_t index, const RoleEntry& record) const {
  RoleEntry* entry = at(index);
  if (!entry) return;
  std::memmove(entry, &record, sizeof *entry);
  entry->slot = index;
  if (index == highWater()) tables_.header().roleHighWater = index + 1;
  if (entry->inUse == 1) CountUp();
}

void RoleTable::UnmarkAll() const {
  const int32_t limit = highWater();
  for (int32_t i = 0; i < limit; ++i) {
    RoleEntry* entry = at(i);
    if (entry->inUse == 1) entry->listed = 0;
  }
}

void RoleTable::ReleaseAllUnused() const {
  const int32_t limit = highWater();
  for (int32_t i = 0; i < limit; ++i) ReleaseRoleIfUnused(*this, i);
}

// The count may have been overwritten through the header exports; it must never
// overflow, and a negative count is not made more negative.
void RoleTable::CountUp() const {
  int32_t& count = tables_.header().roleActiveCount;
  if (count < INT32_MAX) ++count;
}

void RoleTable::CountDown() const {
  int32_t& count = tables_.header().roleActiveCount;
  if (count > 0) --count;
}

namespace {

template <typename Key>
int32_t FindByNameAndId(const Key& key, int32_t searchCount, const RoleTable& table) {
  const int32_t limit = searchCount < table.capacity() ? searchCount : table.capacity();
  for (int32_t i = 0; i < limit; ++i) {
    const RoleEntry* entry = table.at(i);
    if (entry->inUse == 1 && EqualsIgnoringAsciiCase(entry->name, key.name) &&
        EqualsIgnoringAsciiCase(entry->id, key.id)) {
      return i;
    }
  }
  return -1;
}

}  // namespace

int32_t FindRoleEntry(const RoleEntry& key, int32_t searchCount, const RoleTable& table) {
  return FindByNameAndId(key, searchCount, table);
}

int32_t FindRoleEntry(const RoleNameId& key, int32_t searchCount, const RoleTable& table) {
  return FindByNameAndId(key, searchCount, table);
}

bool ReleaseRoleIfUnused(const RoleTable& table, int64_t index) {
  // Entries at or above the mark are dead and not counted: freeing one would take a
  // role off the count that the count never had.
  RoleEntry* entry = index < table.highWater() ? table.at(index) : nullptr;
  if (!entry || entry->inUse != 1 || entry->listed != 0 || entry->userRefs != 0) return false;
  entry->inUse = 0;
  table.CountDown();
  table.tables().ForgetRoleInCurrentSets(static_cast<int32_t>(index));
  return true;
}

}  // namespace tq5::roles
