// The data the lookup benchmarks share: a role list of a plant's size, spelt as a
// directory would, and the limits they call with.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tq5orvcache.h"

namespace tq5bench {

inline constexpr int32_t kRoles = 1024;
inline constexpr int32_t kRolesPerUser = 16;
inline constexpr int32_t kTimeoutMs = 60000;
inline constexpr const char* kDomain = "PLANT";

// The name and id of role `i`, as long as real ones.
inline void RoleText(int32_t i, char (&name)[TQ5ORVCACHE_TEXT_SIZE],
                     char (&id)[TQ5ORVCACHE_TEXT_SIZE]) {
  std::snprintf(name, sizeof name, "Historian.Area%02d.Operators%04d", i % 37, i);
  std::snprintf(id, sizeof id, "S-1-5-21-3623811015-3361044348-30300820-%d", 10000 + i);
}

}  // namespace tq5bench
