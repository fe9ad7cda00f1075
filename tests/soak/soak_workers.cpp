#include "soak_workers.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "region/call_patterns.h"
#include "region/owner_death.h"
#include "soak_board.h"
#include "soak_directory.h"
#include "tq5orvcache.h"

namespace tq5::soak {
namespace {

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Codes a call may meet while a killed server's successor replaces the region.
bool RegionBeingReplaced(ResultCode rc) {
  return rc == CACHE_E_OPEN_MAPPING || rc == CACHE_E_REGION_NOT_OPEN ||
         rc == CACHE_E_REGION_NOT_MAPPED;
}

class Client {
 public:
  Client(WorkerSlot& slot, const std::vector<platform::DirectoryFile>& versions, int users)
      : me_(slot) {
    for (int user = 0; user <= users; ++user) expected_.push_back(Expect(versions, user));
  }

  void Step(std::mt19937& random) {
    const int user = static_cast<int>(random() % expected_.size());
    const unsigned op = random() % 100;
    if (op < 15) {
      Delete(user);
    } else {
      Current(user);
      if (op % 2 == 1) Commit(user);
      Find(user);
    }
    me_.repairs.store(region::RepairsMade());
  }

 private:
  void Unexpected(const char* call, int user, ResultCode rc) {
    if (RegionBeingReplaced(rc)) {
      me_.unavailable.fetch_add(1);
      return;
    }
    std::fprintf(stderr, "%s %s: unexpected %d\n", call, UserName(user).c_str(), rc);
    me_.unexpected.fetch_add(1);
    me_.lastUnexpected.store(rc);
  }

  // An answered set must be exactly the user's roles in one version of the directory.
  void Judge(const char* call, int user, const RoleNameId* roles, int32_t count) {
    std::vector<std::string> got;
    for (int32_t r = 0; r < count; ++r)
      got.push_back(std::string(roles[r].name) + "\t" + roles[r].id);
    got = SortedRoles(std::move(got));
    const Expectation& want = expected_[static_cast<std::size_t>(user)];
    if (want.Allows(got)) {
      me_.answers.fetch_add(1);
      return;
    }
    std::string text;
    for (const std::string& role : got) text += " [" + role + "]";
    std::string allowed;
    for (const std::vector<std::string>& set : want.sets) {
      allowed += " {";
      for (const std::string& role : set) allowed += " [" + role + "]";
      allowed += " }";
    }
    std::fprintf(stderr, "WRONG: %s %s answered%s; the directory's versions give%s\n", call,
                 UserName(user).c_str(), text.c_str(),
                 allowed.empty() ? " nothing" : allowed.c_str());
    me_.wrong.fetch_add(1);
  }

  void Find(int user) {
    RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
    int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
    me_.lookups.fetch_add(1);
    const ResultCode rc =
        ClientFindUserRoles(kDomain, UserName(user).c_str(), &count, roles, kFetchLimitMs);
    const Expectation::Kind kind = expected_[static_cast<std::size_t>(user)].kind;
    if (rc == CACHE_OK) {
      Judge("find", user, roles, count);
    } else if (rc == CACHE_E_FETCH_TIMEOUT || rc == CACHE_E_THREAD_CREATE) {
      me_.timeouts.fetch_add(1);  // a slow user, or a loaded machine
    } else if (!(rc == CACHE_E_USER_FETCH_CALL && kind == Expectation::Kind::Fails)) {
      Unexpected("find", user, rc);
    }
  }

  void Current(int user) {
    RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
    int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
    const ResultCode rc =
        ClientFindUserCurrentRoles(kDomain, UserName(user).c_str(), &count, roles);
    if (rc == CACHE_OK) {
      Judge("current roles of", user, roles, count);
    } else if (rc != CACHE_E_USER_NOT_CACHED) {
      Unexpected("current roles of", user, rc);
    }
  }

  void Delete(int user) {
    const ResultCode rc = ClientDeleteUserCacheDataSharedMemory(kDomain, UserName(user).c_str());
    if (rc != CACHE_OK && rc != CACHE_E_USER_NOT_CACHED) Unexpected("delete", user, rc);
  }

  void Commit(int user) {
    const ResultCode rc = ClientRefreshUserRoles(kDomain, UserName(user).c_str());
    if (rc != CACHE_OK && rc != CACHE_E_USER_NOT_CACHED && rc != CACHE_E_USER_ROLES_FAILED) {
      Unexpected("commit", user, rc);
    }
  }

  WorkerSlot& me_;
  std::vector<Expectation> expected_;  // by user; the last one is unknown to the directory
};

// One hold of the global cache mutex with the region damaged as a change cut short
// would leave it: counts and references that no entry backs and a mark past the table.
// Put back before the mutex is released, so only a death inside the hold leaves it.
void HoldDamaged(WorkerSlot& me, unsigned holdMs) {
  region::ClientCall call;
  region::RegionTables tables;
  if (!call.BindTables(&tables).ok()) {
    me.unavailable.fetch_add(1);
    return;
  }
  me.holding.store(1);
  me.holds.fetch_add(1);
  CacheHeader& header = tables.header();
  const CacheHeader saved = header;
  RoleEntry* role = tables.role(0);
  const int32_t savedRefs = role ? role->userRefs : 0;
  header.roleActiveCount += 3;
  header.userHighWater = tables.userCapacity() + 5;
  if (role) role->userRefs += 2;
  SleepMs(holdMs);
  header.roleActiveCount = saved.roleActiveCount;
  header.userHighWater = saved.userHighWater;
  if (role) role->userRefs = savedRefs;
  me.holding.store(0);
}

}  // namespace

int RunClient(const std::string& boardPath, int slot, uint32_t seed, int users,
              const std::vector<std::string>& versionPaths, bool bare) {
  Board* board = MapBoard(boardPath, false);
  std::vector<platform::DirectoryFile> versions(versionPaths.size());
  std::string error = board ? "" : "no scoreboard";
  for (std::size_t v = 0; v < versions.size() && error.empty(); ++v) {
    versions[v].Load(versionPaths[v], &error);
  }
  if (!error.empty() || versions.empty()) {
    std::fprintf(stderr, "client: cannot start: %s\n", error.c_str());
    return kWorkerSetupFailed;
  }
  const ResultCode rc = bare ? CACHE_OK : InitializeTQ5ORVCache();
  if (rc != CACHE_OK) {
    std::fprintf(stderr, "client: InitializeTQ5ORVCache: %d\n", rc);
    return kWorkerSetupFailed;
  }
  Client client(board->slots[slot], versions, users);
  std::mt19937 random(seed);
  while (!board->stop.load()) client.Step(random);
  if (!bare) UninitializeTQ5ORVCache();
  return 0;
}

int RunHolder(const std::string& boardPath, int slot, uint32_t seed) {
  Board* board = MapBoard(boardPath, false);
  if (!board) return kWorkerSetupFailed;
  const ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) {
    std::fprintf(stderr, "holder: InitializeTQ5ORVCache: %d\n", rc);
    return kWorkerSetupFailed;
  }
  WorkerSlot& me = board->slots[slot];
  std::mt19937 random(seed);
  while (!board->stop.load()) {
    HoldDamaged(me, 5 + random() % 36);
    me.repairs.store(region::RepairsMade());
    SleepMs(10 + random() % 71);
  }
  UninitializeTQ5ORVCache();
  return 0;
}

}  // namespace tq5::soak
