// A user's roles fetched again: the answer matched against the role table into the
// user's current set, and the status that compares it with the committed one. The
// server's sweep does this for every user; an administrator may do it for one.
#pragma once

#include "directory/fetch_state.h"
#include "roles/role_table.h"
#include "tq5orvcache.h"

namespace tq5::users {

// Puts the answer of a fetch into the user's current set and sets the status: fetch
// failed (and an empty current set) when `fetch` is not CACHE_OK, else current or
// pending. Commits a pending set when `autoCommit`.
void TakeFetchedRoles(UserEntry& user, ResultCode fetch, const directory::FetchedRoles& fetched,
                      const roles::RoleTable& roles, bool autoCommit);

// Fetches a cached user's roles now, without the global cache mutex, then takes them as
// the current set and commits it, so that the cached roles are the directory's.
// CACHE_E_USER_NOT_CACHED for a user that is not cached (nothing is fetched then); the
// fetch's own code when it fails (the user is then marked as failed, as the sweep does).
// A failure's reason is this thread's latest failure when it returns.
ResultCode RefreshAndCommitUserRoles(const char* domainName, const char* userName,
                                     int32_t timeoutMs);

}  // namespace tq5::users
