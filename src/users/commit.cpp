#include "users/commit.h"

#include <cstring>

#include "users/role_sets.h"

namespace tq5::users {

void CommitCurrentSet(UserEntry& user, const roles::RoleTable& roles) {
  const int32_t size = ReadableSize(user.currentRoleCount);
  HoldRoles(user.currentRoleSlots, size, roles);
  ReleaseUserRoles(user, roles);
  user.roleCount = size;
  user.status = USER_ROLES_CURRENT;
  std::memcpy(user.roleSlots, user.currentRoleSlots, sizeof(int32_t) * size);
}

}  // namespace tq5::users
