#include "users/commit.h"

#include <cstring>

#include "region/statistics.h"
#include "users/role_sets.h"

namespace tq5::users {

void CommitCurrentSet(UserEntry& user, const roles::RoleTable& roles) {
  const int32_t size = ReadableSetSize(user.currentRoleCount);
  HoldRoles(user.currentRoleSlots, size, roles);
  ReleaseUserRoles(user, roles);
  // The slots before the count, so that a process that dies in between leaves the old
  // count over the new slots' first part rather than a new count over old slots.
  std::memcpy(user.roleSlots, user.currentRoleSlots, sizeof(int32_t) * size);
  user.roleCount = size;
  user.status = USER_ROLES_CURRENT;
  region::Count(region::Counter::Commits);
}

}  // namespace tq5::users
