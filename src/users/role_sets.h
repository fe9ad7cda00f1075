// A user's two role sets (committed and current): lists of role-table slots, at most
// 128 each. Only committed slots hold references on their roles (userRefs).
// All of it expects the caller to hold the global cache mutex.
#pragma once

#include <cstdint>

#include "roles/role_table.h"
#include "users/user_table.h"

namespace tq5::users {

inline constexpr int32_t kMaxSetSize = TQ5ORVCACHE_MAX_USER_ROLES;

using region::ReadableSetSize;

// Gives up the committed roles of `user`: one reference fewer on each role it holds,
// and a role that is then unlisted and unreferenced is freed. The user's own fields stay.
void ReleaseUserRoles(const UserEntry& user, const roles::RoleTable& roles);

// Takes one reference on each in-use role of `slots`, ahead of committing them.
void HoldRoles(const int32_t* slots, int32_t count, const roles::RoleTable& roles);

// Copies the roles of a set out to the caller: negative slots are skipped; a slot
// outside the table or whose entry names another slot is damage (-109); a free entry
// is a missing role (-110). On success *count is the number of records written.
ResultCode CopyRoleSet(int32_t count, const int32_t* slots, const roles::RoleTable& roles,
                       RoleNameId* out, int32_t* outCount);

// Empties the user table, giving up every user's committed roles.
void EvictAllUsers(const UserTable& users, const roles::RoleTable& roles);

}  // namespace tq5::users
