// The server's sweep: users not looked up for three days are dropped, the others have
// their roles fetched again, one after the other, without the global cache mutex (the
// lock order of FetchAndApply).
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "directory/fetch_timeout.h"
#include "region/call_patterns.h"
#include "region/statistics.h"
#include "users/exported_calls.h"
#include "users/fetch_and_apply.h"
#include "users/role_sets.h"
#include "users/user_refresh.h"

using namespace tq5;
using namespace tq5::users;
using tq5::platform::Status;

namespace {

constexpr int64_t kExpirySeconds = TQ5ORVCACHE_USER_EXPIRY_SECONDS;

Status RefreshCurUserRoles(const UserKey& key, int32_t timeoutMs) {
  return FetchAndApply<region::ServerCall>(
      key, directory::SettleFetchTimeout(timeoutMs), false,
      [](const Status& fetch, const directory::FetchedRoles& fetched, UserEntry* user,
         const UserTable&, const roles::RoleTable& roles,
         const region::RegionTables& tables) TQ5_REQUIRES(region::cacheMutexCapability) -> Status {
        // The user may have been deleted, expired or evicted since the snapshot.
        if (!user) return Status::Answer(CACHE_E_USER_NOT_CACHED);
        TakeFetchedRoles(*user, fetch.code(), fetched, roles, tables.header().autoCommitRoles == 1);
        if (!fetch.ok()) return fetch;
        region::Count(region::Counter::UsersRefreshed);
        return region::FlushRegionView();
      });
}

UserKey KeyOf(const UserEntry& user) {
  UserKey key;
  std::memcpy(key.domainName, user.domainName, sizeof key.domainName);
  std::memcpy(key.userName, user.userName, sizeof key.userName);
  key.domainName[sizeof key.domainName - 1] = '\0';
  key.userName[sizeof key.userName - 1] = '\0';
  return key;
}

// Drops the expired users and returns the names of the others, in table order.
Status ExpireUsers(std::vector<UserKey>* survivors) {
  region::ServerCall call;
  region::RegionTables tables;
  if (Status bound = call.BindTables(&tables); !bound.ok()) return bound;
  const UserTable users(tables);
  const roles::RoleTable roles(tables);
  // Sized by the entries really in use, not by the header's count, which a caller may
  // have overwritten: the snapshot can then never be too small.
  int32_t inUse = 0;
  for (int32_t i = 0; i < users.highWater(); ++i) inUse += users.at(i)->inUse == 1;
  try {
    survivors->reserve(static_cast<std::size_t>(inUse));
  } catch (const std::bad_alloc&) {
    return Status::Answer(CACHE_E_NO_MEMORY);
  }
  for (int32_t i = 0; i < users.highWater(); ++i) {
    UserEntry& user = *users.at(i);
    if (user.inUse != 1) continue;
    const int64_t now = std::time(nullptr);
    // In 64 bits: a last access near the end of the 32-bit range must not wrap into
    // the past.
    if (static_cast<int64_t>(user.lastAccess) + kExpirySeconds >= now) {
      survivors->push_back(KeyOf(user));
    } else {
      ReleaseUserRoles(user, roles);
      users.Free(user);
      region::Count(region::Counter::UsersExpired);
    }
  }
  return {};
}

}  // namespace

// The sweep answers what the refresh of the last surviving user answered.
Status tq5::calls::UpdateAllCurUserRoles(int32_t timeoutMs) {
  const region::TaskClock clock;
  std::vector<UserKey> survivors;
  if (Status expired = ExpireUsers(&survivors); !expired.ok()) return expired;
  Status result;
  for (const UserKey& key : survivors) result = RefreshCurUserRoles(key, timeoutMs);
  const region::ServerCall call;
  if (call.status() == CACHE_OK) {
    region::NoteServerTask(region::ServerTask::Sweep, clock, result.code());
  }
  return result;
}
