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
// tables)` then runs inside that hold with the fetch's Status (a failure with the
// directory's reason, taken before the mutex's take can record its own), its answer
// (empty unless the fetch succeeded) and the user's entry, or null when the user is no
// longer cached; its Status is the call's. With `fetchFailureFirst` a failed fetch comes
// before anything the region says: a region that cannot be bound then answers the
// fetch's Status, and the user is not looked for (`apply` gets null); without it, the
// region's, and the user is found whatever the fetch answered.
template <typename Call, typename Apply>
platform::Status FetchAndApply(const UserKey& key, uint32_t timeoutMs, bool fetchFailureFirst,
                               Apply apply)
    TQ5_EXCLUDES(region::processLockCapability, region::cacheMutexCapability) {
  directory::FetchedRoles answer;
  const platform::Status fetch =
      region::Recorded(directory::FetchUserRoles(key.domainName, key.userName, timeoutMs, &answer));

  const Call call;
  if (call.status() == CACHE_OK) region::CountFetch(fetch.code());
  region::RegionTables tables;
  if (platform::Status bound = call.BindTables(&tables); !bound.ok()) {
    return fetchFailureFirst && !fetch.ok() ? fetch : bound;
  }
  const UserTable users(tables);
  const roles::RoleTable roles(tables);
  const bool find = fetch.ok() || !fetchFailureFirst;
  const int32_t index = find ? FindUserEntry(key, users.highWater(), users) : -1;
  UserEntry* user = index >= 0 ? users.at(index) : nullptr;
  return apply(fetch, answer, user, users, roles, tables);
}

}  // namespace tq5::users
