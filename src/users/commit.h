#pragma once

#include "roles/role_table.h"

namespace tq5::users {

// Makes the user's current set its committed set. The new roles are held before the
// old ones are given up, so a role in both sets never drops to 0 references between.
void CommitCurrentSet(UserEntry& user, const roles::RoleTable& roles);

}  // namespace tq5::users
