// Finding a user's roles: a hit answers from the committed set (the user found through
// the user index, else by a scan of the table); a miss fetches the user from the
// directory while the global cache mutex stays held (or, in the opt-in mode
// "fetch-outside-lock", with the mutex let go), stores the user and answers from the new
// entry. Where the server keeps failed answers (negative-cache-seconds), a name whose
// fetch failed a moment ago is answered with that failure, without a scan or a fetch.
#include <cstring>
#include <ctime>

#include "directory/fetch_state.h"
#include "directory/fetch_timeout.h"
#include "platform/settings.h"
#include "region/call_patterns.h"
#include "region/statistics.h"
#include "users/exported_calls.h"
#include "users/fetch_and_apply.h"
#include "users/role_sets.h"
#include "users/user_call.h"

using namespace tq5;
using namespace tq5::users;
using tq5::platform::Status;

namespace {

int32_t Now() { return static_cast<int32_t>(std::time(nullptr)); }

// A null buffer may only be offered as room for no records: the caller then learns the
// set's size (or gets an empty set answered). One that claims room is refused before
// any lock, rather than written through on the way out of a fetch.
bool RoomIsReal(int32_t count, const RoleNameId* out) { return out != nullptr || count <= 0; }

// The opt-in mode in which a miss lets the global cache mutex go while the directory
// answers. Asked before the mutex is taken: the answer may come from the settings file,
// and no file is read while every other process waits for the mutex.
bool FetchesOutsideTheMutex() { return platform::CachedSettingIsOn("fetch-outside-lock"); }

// The count contract of every find: a set larger than the caller's buffer is not
// copied; the caller learns its size and asks again.
ResultCode AnswerFromSet(int32_t size, const int32_t* slots, const roles::RoleTable& roles,
                         int32_t* count, RoleNameId* out) {
  if (size < 0 || size > kMaxSetSize) return CACHE_E_CORRUPTED;
  if (size > *count) {
    *count = size;
    return CACHE_E_BUFFER_TOO_SMALL;
  }
  return CopyRoleSet(size, slots, roles, out, count);
}

// Matches the fetched roles against the role table, in fetch order, into the new
// entry's two sets, taking a reference per stored slot. Roles the table does not know
// are dropped; a lookup never adds roles. Beyond 128 matches the rest are dropped too:
// the sets have no room, and a shorter answer is safer than no answer at all.
int32_t MatchFetchedRoles(const directory::FetchedRoles& fetched, const roles::RoleTable& roles,
                          UserEntry& entry) {
  int32_t stored = 0;
  for (int32_t i = 0; i < fetched.size() && stored < kMaxSetSize; ++i) {
    const int32_t index = roles::FindRoleEntry(fetched.data()[i], roles.highWater(), roles);
    if (index < 0) continue;
    RoleEntry* role = roles.at(index);
    entry.roleSlots[stored] = index;
    entry.currentRoleSlots[stored] = index;
    if (role->userRefs < INT32_MAX) ++role->userRefs;
    ++stored;
  }
  return stored;
}

// Stores a user fetched just now in the first free slot (emptying the whole table when
// it is full) and answers from the new entry; a user answered in full is flushed.
Status StoreFetched(const UserKey& key, const directory::FetchedRoles& fetched,
                    bool updateLastAccess, const UserTable& users, const roles::RoleTable& roles,
                    int32_t* count, RoleNameId* out) TQ5_REQUIRES(region::cacheMutexCapability) {
  int32_t slot = FindFreeUserSlot(users.highWater(), users);
  if (slot >= users.capacity()) {
    EvictAllUsers(users, roles);
    slot = 0;
  }
  UserEntry& entry = *users.at(slot);
  entry.status = USER_ROLES_CURRENT;
  if (updateLastAccess) entry.lastAccess = Now();
  entry.slot = slot;
  std::memcpy(entry.domainName, key.domainName, sizeof entry.domainName);
  std::memcpy(entry.userName, key.userName, sizeof entry.userName);
  entry.roleCount = entry.currentRoleCount = MatchFetchedRoles(fetched, roles, entry);
  // In use only once it is whole: a process that dies while filling it leaves a free slot
  // (whose references the repair after its death recounts), never a user with another
  // user's name or a partial set.
  entry.inUse = 1;
  users.Occupy(slot);

  const ResultCode rc = AnswerFromSet(entry.roleCount, entry.roleSlots, roles, count, out);
  return rc == CACHE_OK ? region::FlushRegionView() : Status::Answer(rc);
}

// A hit: the access recorded (unless the admin asks) and the committed set answered.
Status AnswerHit(UserEntry& entry, bool updateLastAccess, const roles::RoleTable& roles,
                 int32_t* count, RoleNameId* out) {
  if (updateLastAccess) entry.lastAccess = Now();
  return region::Coded(AnswerFromSet(entry.roleCount, entry.roleSlots, roles, count, out));
}

struct Lookup {
  UserKey key;
  uint32_t timeoutMs;
  bool updateLastAccess;
  int32_t* count;
  RoleNameId* out;
  bool fetchOutsideTheMutex;
  // Where the index's forgets of failed answers stood when the lookup missed: a failed
  // fetch is kept only when nothing was forgotten since.
  uint64_t forgottenAtMiss = 0;
};

// Whether a failed fetch says something about the user (the directory answered for the
// name, or could not), so that the answer may be kept. A time-out, a worker thread or a
// directory component that could not be made say nothing about the user.
bool KeptWhenFailed(ResultCode fetch) {
  return fetch == CACHE_E_USER_FETCH_CALL || fetch == CACHE_E_USER_FETCH_NAME_TOO_LONG ||
         fetch == CACHE_E_USER_FETCH_SIZE_MISMATCH;
}

// A failed fetch answers the lookup; nothing is stored, so the next lookup fetches
// again, unless the answer is one to keep. It is kept only when no change since the miss
// forgot failed answers (another process stored the user meanwhile, or an administrator
// asked for it again).
Status AnswerFailedFetch(const Lookup& l, const UserTable& users, const Status& fetch)
    TQ5_REQUIRES(region::cacheMutexCapability) {
  if (KeptWhenFailed(fetch.code())) {
    users.index().KeepFailedAnswer(l.key.domainName, l.key.userName, fetch.code(),
                                   l.forgottenAtMiss);
  }
  return fetch;
}

// The user found through the index, else a failed answer kept for the user (*kept set),
// else the scan's answer.
int32_t FindOrKnownFailure(const UserKey& key, const UserTable& users, bool* known,
                           ResultCode* kept) {
  const int32_t found = FindIndexedUserEntry(key, users.highWater(), users);
  if (found >= 0) return found;
  // Before the scan: a flood of unknown names costs a probe each, not a scan.
  if (users.index().FailedAnswerOf(key.domainName, key.userName, kept)) {
    *known = true;
    return -1;
  }
  return ScanForUserEntry(key, users.highWater(), users);
}

// The lookup inside one hold of the global cache mutex. A miss fetches there and then,
// with the process lock taken inside the mutex, unless the machine fetches outside the
// mutex: then it only sets *missed, and the caller fetches once the mutex is let go.
Status LookUpHoldingTheMutex(Lookup& l, bool* missed) {
  region::ClientCall call;
  region::RegionTables tables;
  if (Status bound = call.BindTables(&tables); !bound.ok()) return bound;
  const UserTable users(tables);
  const roles::RoleTable roles(tables);
  bool known = false;
  ResultCode kept = CACHE_OK;
  const int32_t index = FindOrKnownFailure(l.key, users, &known, &kept);
  region::CountLookup(index >= 0);
  if (index >= 0) return AnswerHit(*users.at(index), l.updateLastAccess, roles, l.count, l.out);
  if (known) {
    region::Count(region::Counter::NegativeAnswers);
    return Status::Answer(kept);
  }
  // Without a single user slot nothing fetched could be kept.
  if (users.capacity() == 0) return Status::Answer(CACHE_E_NO_SPACE);
  l.forgottenAtMiss = users.index().forgotten();
  if (l.fetchOutsideTheMutex) {
    *missed = true;
    return {};
  }
  // The process lock, taken inside the mutex (the fetch takes it), is held only for the
  // fetch: the answer is this lookup's own once the fetch returns.
  directory::FetchedRoles fetched;
  const Status fetch = region::Recorded(
      directory::FetchUserRoles(l.key.domainName, l.key.userName, l.timeoutMs, &fetched));
  region::CountFetch(fetch.code());
  if (!fetch.ok()) return AnswerFailedFetch(l, users, fetch);
  return StoreFetched(l.key, fetched, l.updateLastAccess, users, roles, l.count, l.out);
}

// A miss that fetches without the global cache mutex, so that a slow directory stalls
// nobody else (FetchAndApply). Another process may have stored the user meanwhile; the
// answer then comes from its entry, so that one user never has two.
Status FetchOutsideTheMutex(const Lookup& l) {
  return FetchAndApply<region::ClientCall>(
      l.key, l.timeoutMs, true,
      [&l](const Status& fetch, const directory::FetchedRoles& fetched, UserEntry* user,
           const UserTable& users, const roles::RoleTable& roles, const region::RegionTables&)
          TQ5_REQUIRES(region::cacheMutexCapability) -> Status {
            if (!fetch.ok()) return AnswerFailedFetch(l, users, fetch);
            if (users.capacity() == 0) return Status::Answer(CACHE_E_NO_SPACE);
            if (user) return AnswerHit(*user, l.updateLastAccess, roles, l.count, l.out);
            return StoreFetched(l.key, fetched, l.updateLastAccess, users, roles, l.count, l.out);
          });
}

Status FindUserRolesCommon(const char* domainName, const char* userName, int32_t* count,
                           RoleNameId* out, bool updateLastAccess, int32_t timeoutMs) {
  if (!domainName || !userName || !count || !RoomIsReal(*count, out)) {
    return Status::Answer(CACHE_E_INVALID_POINTER);
  }
  Lookup l{{},
           directory::SettleFetchTimeout(timeoutMs),
           updateLastAccess,
           count,
           out,
           FetchesOutsideTheMutex()};
  if (const ResultCode rc = CheckUserNames(domainName, userName, &l.key); rc != CACHE_OK) {
    return Status::Answer(rc);
  }
  bool missed = false;
  Status held = region::AnswerOf(LookUpHoldingTheMutex(l, &missed));
  return missed && held.ok() ? region::AnswerOf(FetchOutsideTheMutex(l)) : held;
}

}  // namespace

namespace tq5::calls {

Status ClientFindUserRoles(const char* domainName, const char* userName, int32_t* count,
                           RoleNameId* roles, int32_t timeoutMs) {
  return FindUserRolesCommon(domainName, userName, count, roles, true, timeoutMs);
}

Status ClientFindUserRolesFromAdmin(const char* domainName, const char* userName, int32_t* count,
                                    RoleNameId* roles, int32_t timeoutMs) {
  return FindUserRolesCommon(domainName, userName, count, roles, false, timeoutMs);
}

Status ClientFindUserCurrentRoles(const char* domainName, const char* userName, int32_t* count,
                                  RoleNameId* out) {
  if (!count || !RoomIsReal(*count, out)) return Status::Answer(CACHE_E_INVALID_POINTER);
  return WithCachedUser(
      domainName, userName,
      [count, out](UserEntry& user, const UserTable&, const roles::RoleTable& roles) {
        return region::Coded(
            AnswerFromSet(user.currentRoleCount, user.currentRoleSlots, roles, count, out));
      });
}

}  // namespace tq5::calls
