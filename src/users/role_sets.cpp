#include "users/role_sets.h"

#include <cstring>

#include "region/statistics.h"

namespace tq5::users {

namespace {

// The in-use role entry at `slot` below the mark, or null.
RoleEntry* HeldRole(int32_t slot, const roles::RoleTable& roles) {
  RoleEntry* role = slot >= 0 && slot < roles.highWater() ? roles.at(slot) : nullptr;
  return role && role->inUse == 1 ? role : nullptr;
}

// A text copied out of the region is terminated within its field even when the
// region's bytes are not, so that no caller reads past it.
void CopyText(char (&to)[TQ5ORVCACHE_TEXT_SIZE], const char (&from)[TQ5ORVCACHE_TEXT_SIZE]) {
  std::memcpy(to, from, sizeof to);
  to[sizeof to - 1] = '\0';
}

}  // namespace

void ReleaseUserRoles(const UserEntry& user, const roles::RoleTable& roles) {
  const int32_t count = ReadableSetSize(user.roleCount);
  for (int32_t i = 0; i < count; ++i) {
    const int32_t slot = user.roleSlots[i];
    RoleEntry* role = HeldRole(slot, roles);
    if (!role) continue;
    if (role->userRefs > 0) --role->userRefs;
    roles::ReleaseRoleIfUnused(roles, slot);
  }
}

void HoldRoles(const int32_t* slots, int32_t count, const roles::RoleTable& roles) {
  count = ReadableSetSize(count);
  for (int32_t i = 0; i < count; ++i) {
    RoleEntry* role = HeldRole(slots[i], roles);
    if (role && role->userRefs < INT32_MAX) ++role->userRefs;
  }
}

ResultCode CopyRoleSet(int32_t count, const int32_t* slots, const roles::RoleTable& roles,
                       RoleNameId* out, int32_t* outCount) {
  if (count < 0 || count > kMaxSetSize) return CACHE_E_CORRUPTED;
  int32_t written = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t slot = slots[i];
    if (slot < 0) continue;
    const RoleEntry* role = roles.at(slot);
    if (!role || role->slot != slot) return CACHE_E_CORRUPTED;
    if (role->inUse == 0) return CACHE_E_ROLE_MISSING;
    CopyText(out[written].name, role->name);
    CopyText(out[written].id, role->id);
    ++written;
  }
  *outCount = written;
  return CACHE_OK;
}

void EvictAllUsers(const UserTable& users, const roles::RoleTable& roles) {
  region::Count(region::Counter::Evictions);
  users.FreeAll([&roles](UserEntry& user) { ReleaseUserRoles(user, roles); });
}

}  // namespace tq5::users
