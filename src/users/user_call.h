// The opening that every client export taking a user shares: the names checked, the
// region's view acquired (or the process's own view used), the user found.
#pragma once

#include "region/call_patterns.h"
#include "roles/role_table.h"
#include "users/user_table.h"

namespace tq5::users {

// The work of an export that takes a user, inside the global cache mutex: a view of the
// region acquired, the user found, `work` run on the entry (it answers a Status). With
// `forgot`, a failed answer kept for the user is forgotten first, and *forgot says
// whether there was one.
template <typename Work>
platform::Status WithCachedUserInCall(const UserKey& key, Work work, bool* forgot = nullptr) {
  region::ClientCall call;
  region::RegionTables tables;
  if (platform::Status bound = call.BindTables(&tables); !bound.ok()) return bound;
  const UserTable users(tables);
  if (forgot) *forgot = users.index().ForgetFailedAnswer(key.domainName, key.userName);
  const int32_t index = FindUserEntry(key, users.highWater(), users);
  if (index < 0) return platform::Status::Answer(CACHE_E_USER_NOT_CACHED);
  return work(*users.at(index), users, roles::RoleTable(tables));
}

// The names checked, then the work in one call.
template <typename Work>
platform::Status WithCachedUser(const char* domainName, const char* userName, Work work,
                                bool* forgot = nullptr) {
  UserKey key;
  const ResultCode rc = CheckUserNames(domainName, userName, &key);
  if (rc != CACHE_OK) return platform::Status::Answer(rc);
  return region::AnswerOf(WithCachedUserInCall(key, work, forgot));
}

// What a routine that the tool calls without the exports' guard answers: the code of
// `status`, whose failure it makes this thread's latest again (as the guard does), so
// that the reason the caller reads is the one for this code.
inline ResultCode CodeOf(const platform::Status& status) {
  status.MakeLatest();
  return status.code();
}

}  // namespace tq5::users
