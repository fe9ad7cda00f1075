// Roles and users as tables and as JSON, the same for the live cache and a cache file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "output.h"
#include "tq5orvcache.h"

namespace orvcache {

// Role slot -> entry, to name the slots that users hold.
using RoleSlots = std::map<int32_t, RoleEntry>;
RoleSlots BySlot(const std::vector<RoleEntry>& roles);

const char* StatusName(int32_t status);

Json RoleJson(const RoleEntry& role);
void PrintRoles(const std::vector<RoleEntry>& roles);
// A user's roles (name, id), as a lookup or a refresh answers them; nothing when none.
void PrintUserRoles(const std::vector<RoleNameId>& roles);

// `now`: seconds since 1970, for the expiry.
Json UserJson(const UserEntry& user, const RoleSlots& roles, int64_t now);
void PrintUsers(const std::vector<UserEntry>& users, const RoleSlots& roles, int64_t now);

// When the next sweep drops a user last accessed at `lastAccess`.
int64_t ExpiresAt(int32_t lastAccess);

}  // namespace orvcache
