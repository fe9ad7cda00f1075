#include "cache_access.h"

#include <algorithm>

#include "output.h"

namespace orvcache {

ClientSession::ClientSession() { Check(InitializeTQ5ORVCache(), "opening the cache"); }

ClientSession::~ClientSession() { UninitializeTQ5ORVCache(); }

CacheHeader ReadHeader(Side side) {
  CacheHeader h{};
  const bool client = side == Side::Client;
  Check(client ? ClientGetRoleProperties(&h.roleCapacity, &h.roleHighWater, &h.roleActiveCount)
               : GetRoleProperties(&h.roleCapacity, &h.roleHighWater, &h.roleActiveCount),
        "reading the role table's figures");
  Check(client ? ClientGetUserProperties(&h.userCapacity, &h.userHighWater, &h.userActiveCount)
               : GetUserProperties(&h.userCapacity, &h.userHighWater, &h.userActiveCount),
        "reading the user table's figures");
  Check(client ? ClientGetConfigurationData(&h.autoCommitRoles, &h.configValue)
               : GetConfigurationData(&h.autoCommitRoles, &h.configValue),
        "reading the configuration");
  return h;
}

namespace {

// Runs a listing export until its buffer is large enough. The buffer never grows past
// the table's capacity: a header whose count claims more (a damaged one) cannot make the
// command allocate without bound, and then the entries that did come are kept.
template <typename Entry, typename List>
std::vector<Entry> ListAll(List list, int32_t tableCapacity, const std::string& doing) {
  const int32_t limit = std::max<int32_t>(tableCapacity, 0);
  int32_t capacity = std::min<int32_t>(limit, 256);
  std::vector<Entry> entries;
  for (int attempt = 0; attempt < 4; ++attempt) {
    entries.assign(static_cast<std::size_t>(capacity) + 1, Entry{});
    int32_t count = capacity;
    const ResultCode rc = list(&count, entries.data());
    if (rc == CACHE_OK) {
      entries.resize(static_cast<std::size_t>(std::clamp(count, 0, capacity)));
      return entries;
    }
    if (rc != CACHE_E_BUFFER_TOO_SMALL) throw Failure(rc, doing);
    if (capacity >= limit) break;
    capacity = std::clamp(count, capacity, limit);
  }
  entries.resize(static_cast<std::size_t>(capacity));
  entries.erase(
      std::remove_if(entries.begin(), entries.end(), [](const Entry& e) { return e.inUse != 1; }),
      entries.end());
  return entries;
}

}  // namespace

std::vector<RoleEntry> ListRoles(Side side, bool activeOnly) {
  const CacheHeader h = ReadHeader(side);
  using Fn = ResultCode (*)(int32_t*, RoleEntry*);
  Fn list = side == Side::Client ? (activeOnly ? ClientGetAllActiveRolesCacheDataSharedMemory
                                               : ClientGetAllRolesCacheDataSharedMemory)
                                 : (activeOnly ? GetAllActiveRolesCacheDataSharedMemory
                                               : GetAllRolesCacheDataSharedMemory);
  return ListAll<RoleEntry>(list, h.roleCapacity, "listing the roles");
}

int32_t CountActiveRoles(Side side) {
  RoleEntry unused{};
  int32_t count = 0;
  const ResultCode rc = side == Side::Client
                            ? ClientGetAllActiveRolesCacheDataSharedMemory(&count, &unused)
                            : GetAllActiveRolesCacheDataSharedMemory(&count, &unused);
  if (rc != CACHE_OK && rc != CACHE_E_BUFFER_TOO_SMALL) throw Failure(rc, "counting the roles");
  return count;
}

std::vector<UserEntry> ListUsers() {
  const CacheHeader h = ReadHeader(Side::Client);
  return ListAll<UserEntry>(ClientGetAllUsersCacheDataSharedMemory, h.userCapacity,
                            "listing the users");
}

std::string CacheFilePath(std::string* why) {
  std::string path;
  return tq5::admin::CacheFilePath(&path, why) ? path : std::string();
}

}  // namespace orvcache
