// Inspecting and maintaining cached users: the listing, deleting one user, committing
// a user's current role set, and setting a user's last access.
#include <cstring>

#include "region/call_patterns.h"
#include "region/statistics.h"
#include "users/commit.h"
#include "users/exported_calls.h"
#include "users/role_sets.h"
#include "users/user_call.h"

using namespace tq5;
using namespace tq5::users;
using tq5::platform::Status;

namespace {

Status ListUsersInCall(int32_t* count, UserEntry* out) {
  region::ClientCall call;
  region::RegionTables tables;
  if (Status bound = call.BindTables(&tables); !bound.ok()) return bound;
  const UserTable users(tables);
  // The total is the number of in-use entries, counted in the same pass, so that a
  // damaged userActiveCount can neither overrun the buffer nor misreport what fitted.
  const int32_t capacity = *count;
  int32_t total = 0;
  for (int32_t i = 0; i < users.highWater(); ++i) {
    const UserEntry* entry = users.at(i);
    if (entry->inUse != 1) continue;
    if (total < capacity) std::memcpy(&out[total], entry, sizeof *entry);
    ++total;
  }
  *count = total;
  return region::Coded(total <= capacity ? CACHE_OK : CACHE_E_BUFFER_TOO_SMALL);
}

}  // namespace

namespace tq5::calls {

Status ClientGetAllUsersCacheDataSharedMemory(int32_t* count, UserEntry* out) {
  if (!count || !out) return Status::Answer(CACHE_E_INVALID_POINTER);
  return region::AnswerOf(ListUsersInCall(count, out));
}

Status ClientDeleteUserCacheDataSharedMemory(const char* domainName, const char* userName) {
  bool forgot = false;
  Status deleted = WithCachedUser(
      domainName, userName,
      [](UserEntry& user, const UserTable& users, const roles::RoleTable& roles)
          TQ5_REQUIRES(region::cacheMutexCapability) {
            ReleaseUserRoles(user, roles);
            users.Free(user);
            region::Count(region::Counter::Deletes);
            return region::FlushRegionView();
          },
      &forgot);
  // A user known only by a kept failed answer is deleted with it.
  if (deleted.code() == CACHE_E_USER_NOT_CACHED && forgot) return {};
  return deleted;
}

Status ClientRefreshUserRoles(const char* domainName, const char* userName) {
  return WithCachedUser(domainName, userName,
                        [](UserEntry& user, const UserTable&, const roles::RoleTable& roles) {
                          if (user.status == USER_ROLES_FETCH_FAILED) {
                            return Status::Answer(CACHE_E_USER_ROLES_FAILED);
                          }
                          CommitCurrentSet(user, roles);
                          return Status();
                        });
}

Status ClientUpdateOneUserLastAccessTime(int32_t lastAccess, const char* domainName,
                                         const char* userName) {
  return WithCachedUser(domainName, userName,
                        [lastAccess](UserEntry& user, const UserTable&, const roles::RoleTable&) {
                          user.lastAccess = lastAccess;
                          return Status();
                        });
}

}  // namespace tq5::calls
