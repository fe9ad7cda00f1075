// The cache as the command reaches it: through the library's exports, and through the
// admin interface (tq5orvcache_admin.h) for what no export offers. The client exports
// attach the region for each call; the server exports use the view that the server
// process keeps mapped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tq5orvcache.h"
#include "tq5orvcache_admin.h"

namespace orvcache {

enum class Side { Client, Server };

// A client's start-up for the length of one command: opens the global cache mutex, which
// only a running server has created.
class ClientSession {
 public:
  ClientSession();
  ~ClientSession();
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;
};

// The header's eight fields. Three calls, so not one snapshot: a server may change the
// figures in between.
CacheHeader ReadHeader(Side side);

// Roles in use (or only the active ones, listed in the latest complete role list), in
// slot order.
std::vector<RoleEntry> ListRoles(Side side, bool activeOnly);
// The number of active roles, without copying them.
int32_t CountActiveRoles(Side side);
// The cached users, in slot order.
std::vector<UserEntry> ListUsers();

// The cache file's path, as the library forms it from MERLOC_GROUP_FOLDER_NAME. Empty,
// with the reason in *why, when the library would have none.
std::string CacheFilePath(std::string* why);
// The start-up's own acceptance rule for a cache file.
using tq5::admin::CacheFileCheck;
using tq5::admin::CheckCacheFile;

}  // namespace orvcache
