// A user's roles fetched without the global cache mutex and then applied to the user's
// entry inside it: the one way the sweep, an administrator's refresh and the lookup's
// fetch-outside-lock mode reach the directory.
//
// Lock order. A lookup miss in the default mode holds the global cache mutex and takes
// the process lock inside it. A fetch made without the mutex therefore never waits for
// the mutex while it holds the process lock: it fetches under the process lock alone,
// the answer becomes the caller's, the lock goes, and only then is the mutex taken. No
// thread ever waits for the global cache mutex while holding the process lock, so the
// two cannot deadlock. While neither was held another process may have stored, evicted
// or deleted the user, so the user is found again inside the mutex.
#pragma once

#include "directory/fetch_state.h"
#include "region/call_patterns.h"
#include "region/statistics.h"
#include "roles/role_table.h"
#include "users/user_table.h"

namespace tq5::users {

// Fetches the user's roles (under the process lock alone), then takes the global cache
// mutex through a `Call` (region::ClientCall or region::ServerCall), counts the fetch,
// binds the tables and finds the user again. `apply(fetch, answer, user, users, roles,
// tables)` then runs inside that hold with the fetch's code, its answer (empty unless
// the fetch succeeded) and the user's entry, or null when the user is no longer cached;
// its code is the call's. With `fetchFailureFirst` a failed fetch comes before anything
// the region says: a region that cannot be bound then answers the fetch's code, and the
// user is not looked for (`apply` gets null); without it, the region's code, and the
// user is found whatever the fetch answered.
template <typename Call, typename Apply>
ResultCode FetchAndApply(const UserKey& key, uint32_t timeoutMs, bool fetchFailureFirst,
                         Apply apply)
    TQ5_EXCLUDES(region::processLockCapability, region::cacheMutexCapability) {
  directory::FetchedRoles answer;
  const ResultCode fetch =
      directory::FetchUserRoles(key.domainName, key.userName, timeoutMs, &answer);

  const Call call;
  if (call.status() == CACHE_OK) region::CountFetch(fetch);
  region::RegionTables tables;
  if (const ResultCode rc = call.BindTables(&tables); rc != CACHE_OK) {
    return fetchFailureFirst && fetch != CACHE_OK ? fetch : rc;
  }
  const UserTable users(tables);
  const roles::RoleTable roles(tables);
  const bool find = fetch == CACHE_OK || !fetchFailureFirst;
  const int32_t index = find ? FindUserEntry(key, users.highWater(), users) : -1;
  UserEntry* user = index >= 0 ? users.at(index) : nullptr;
  return apply(fetch, answer, user, users, roles, tables);
}

}  // namespace tq5::users
