#include "users/user_refresh.h"

#include "directory/fetch_timeout.h"
#include "region/call_patterns.h"
#include "region/statistics.h"
#include "users/commit.h"
#include "users/fetch_and_apply.h"
#include "users/role_sets.h"
#include "users/user_call.h"

namespace tq5::users {
namespace {

// Sets `status` from the comparison of the two sets: equal counts and every committed
// slot present among the current ones. The order of the slots does not matter.
void UpdateUserRoleStatus(UserEntry& user) {
  if (user.roleCount != user.currentRoleCount) {
    user.status = USER_ROLES_PENDING;
    return;
  }
  user.status = USER_ROLES_CURRENT;
  const int32_t size = ReadableSetSize(user.roleCount);
  for (int32_t i = 0; i < size; ++i) {
    bool present = false;
    for (int32_t j = 0; j < size && !present; ++j) {
      present = user.currentRoleSlots[j] == user.roleSlots[i];
    }
    if (!present) {
      user.status = USER_ROLES_PENDING;
      return;
    }
  }
}

// The current set from a fetch: listed, in-use roles the table knows, at most 128.
int32_t MatchCurrentSet(const directory::FetchedRoles& fetched, const roles::RoleTable& roles,
                        UserEntry& user) {
  int32_t size = 0;
  for (const RoleNameId& record : fetched) {
    if (size == kMaxSetSize) break;
    const int32_t index = roles::FindRoleEntry(record, roles.highWater(), roles);
    const RoleEntry* role = index >= 0 ? roles.at(index) : nullptr;
    if (role && role->listed == 1 && role->slot == index && role->inUse == 1) {
      user.currentRoleSlots[size++] = index;
    }
  }
  return size;
}

}  // namespace

void TakeFetchedRoles(UserEntry& user, ResultCode fetch, const directory::FetchedRoles& fetched,
                      const roles::RoleTable& roles, bool autoCommit) {
  if (fetch != CACHE_OK) {
    user.status = USER_ROLES_FETCH_FAILED;
    user.currentRoleCount = 0;
    return;
  }
  user.currentRoleCount = MatchCurrentSet(fetched, roles, user);
  UpdateUserRoleStatus(user);
  if (user.status == USER_ROLES_PENDING && autoCommit) CommitCurrentSet(user, roles);
}

namespace {

platform::Status RefreshAndCommit(const char* domainName, const char* userName, int32_t timeoutMs) {
  // Asked first, so that a user who is not cached costs no fetch; a failed answer kept
  // for the user is forgotten there, so that the next lookup asks the directory.
  const auto present = [](UserEntry&, const UserTable&, const roles::RoleTable&) {
    return platform::Status();
  };
  UserKey key;
  if (const ResultCode rc = CheckUserNames(domainName, userName, &key); rc != CACHE_OK) {
    return platform::Status::Answer(rc);
  }
  bool forgot = false;
  if (platform::Status cached = region::AnswerOf(WithCachedUserInCall(key, present, &forgot));
      !cached.ok()) {
    return cached;
  }
  // The fetch runs without the global cache mutex, as the sweep's does (FetchAndApply).
  return region::AnswerOf(FetchAndApply<region::ClientCall>(
      key, directory::SettleFetchTimeout(timeoutMs), false,
      [](const platform::Status& fetch, const directory::FetchedRoles& fetched, UserEntry* user,
         const UserTable&, const roles::RoleTable& roles, const region::RegionTables&)
          TQ5_REQUIRES(region::cacheMutexCapability) -> platform::Status {
            if (!user) return platform::Status::Answer(CACHE_E_USER_NOT_CACHED);
            TakeFetchedRoles(*user, fetch.code(), fetched, roles, true);
            if (!fetch.ok()) return fetch;
            return region::FlushRegionView();
          }));
}

}  // namespace

ResultCode RefreshAndCommitUserRoles(const char* domainName, const char* userName,
                                     int32_t timeoutMs) {
  return CodeOf(RefreshAndCommit(domainName, userName, timeoutMs));
}

}  // namespace tq5::users
