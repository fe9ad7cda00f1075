// A second process for the multi-process tests. It inherits the test's environment
// (object prefix, cache folder) and plays a server or a client through the exports.
// Exit code: 0 on success, the magnitude of a failing ResultCode, 200 for an answer
// other than the expected one, 201 for bad usage.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "region/call_patterns.h"
#include "region/region_state.h"
#include "region/statistics.h"
#include "tq5orvcache.h"

namespace {

constexpr int kMismatch = 200;
constexpr int kUsage = 201;

int Exit(ResultCode rc) { return rc == CACHE_OK ? 0 : -rc; }

void Touch(const std::string& path) { std::ofstream(path) << "ready\n"; }

bool Exists(const std::string& path) { return static_cast<bool>(std::ifstream(path)); }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Runs a server until STOP exists, then writes the cache file and shuts down.
int Serve(const std::string& ready, const std::string& stop) {
  ResultCode rc = InitializeTQ5ORVCacheServer();
  if (rc == CACHE_OK) rc = InitializeCacheDataSharedMemory();
  if (rc != CACHE_OK) return Exit(rc);
  Touch(ready);
  while (!Exists(stop)) SleepMs(5);
  rc = WriteCacheDataToFile();
  const ResultCode down = UninitializeCacheDataSharedMemory();
  UninitializeTQ5ORVCache();
  return Exit(rc != CACHE_OK ? rc : down);
}

// Takes the global cache mutex (twice, as a re-entrant caller would) and dies holding it.
int LockAndDie(const std::string& ready, int holdMs) {
  ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  // Never destroyed: the process dies holding both takes.
  new tq5::region::CacheLock;
  new tq5::region::CacheLock;
  Touch(ready);
  SleepMs(holdMs);
  std::_Exit(7);
}

// Holds the global cache mutex until RELEASE exists, then lets it go.
int HoldUntil(const std::string& ready, const std::string& release) {
  const ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  {
    const tq5::region::CacheLock lock;
    if (lock.status() != CACHE_OK) return Exit(lock.status());
    Touch(ready);
    while (!Exists(release)) SleepMs(5);
  }
  UninitializeTQ5ORVCache();
  return 0;
}

// A client that keeps calling until STOP exists, whatever the calls answer; READY once
// the first call has answered with the region.
int ClientPoll(const std::string& ready, const std::string& stop) {
  const ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  for (bool answered = false; !Exists(stop); SleepMs(1)) {
    int32_t config = 0;
    if (ClientGetConfigurationData(nullptr, &config) == CACHE_OK && !answered) {
      Touch(ready);
      answered = true;
    }
  }
  UninitializeTQ5ORVCache();
  return 0;
}

// A client that skips the start-up: a call straight away, as a careless program makes it.
int BarePutConfig(const std::string& ready, int autoCommit, int configValue) {
  Touch(ready);
  return Exit(ClientPutConfigurationData(autoCommit, configValue));
}

// Takes the global cache mutex and dies in the middle of a change: counts and
// references raised that no entry backs, and the mark pushed past the table.
int DamageAndDie(const std::string& ready) {
  ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  auto* call = new tq5::region::ClientCall;  // never released: the process dies in it
  if (call->status() != CACHE_OK) return Exit(call->status());
  tq5::region::RegionTables tables;
  if ((rc = call->BindTables(&tables).code()) != CACHE_OK) return Exit(rc);
  tables.header().roleActiveCount += 3;
  tables.header().userActiveCount += 4;
  tables.header().userHighWater = tables.userCapacity() + 5;
  tables.role(0)->userRefs += 2;
  Touch(ready);
  std::_Exit(7);
}

// Scribbles over the user index's buckets inside a hold of the mutex and dies there, as
// a change to the index cut short might leave it.
int DamageIndexAndDie(const std::string& ready) {
  ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  auto* call = new tq5::region::ClientCall;  // never released: the process dies in it
  if (call->status() != CACHE_OK) return Exit(call->status());
  std::size_t size = 0;
  auto* bytes = static_cast<uint8_t*>(tq5::platform::SideObjectView(
      tq5::region::HeldCacheMutex(), tq5::platform::SideObjectKind::Index, 64, &size));
  if (!bytes) return Exit(CACHE_E_OPEN_MAPPING);
  std::memset(bytes + 64, 0xA5, size - 64);
  Touch(ready);
  std::_Exit(7);
}

// Looks DOMAIN\USER up and checks the answer's role names, in order; then creates DONE.
int LookupExpect(const std::string& done, const char* domain, const char* user, int expected,
                 char** names) {
  ResultCode rc = InitializeTQ5ORVCache();
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
  if (rc == CACHE_OK) rc = ClientFindUserRoles(domain, user, &count, roles, 20000);
  Touch(done);
  if (rc != CACHE_OK) return Exit(rc);
  bool same = count == expected;
  for (int i = 0; same && i < count; ++i) same = std::string(roles[i].name) == names[i];
  if (!same) {
    std::fprintf(stderr, "%s\\%s: %d roles, %d expected\n", domain, user, count, expected);
    return kMismatch;
  }
  return 0;
}

// Reads the machine's counters and expects exactly the given values, in counter order.
int StatisticsExpect(int expectedCount, char** expected) {
  if (expectedCount != static_cast<int>(tq5::region::kCounterCount)) return kUsage;
  const ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  tq5::region::StatisticsBlock block{};
  if (!tq5::region::ReadStatistics(&block)) return kMismatch;
  int mismatches = 0;
  for (int i = 0; i < expectedCount; ++i) {
    const unsigned long long want = std::strtoull(expected[i], nullptr, 10);
    if (block.counters[i] != want) {
      std::fprintf(stderr, "counter %d: %llu, expected %llu\n", i,
                   static_cast<unsigned long long>(block.counters[i]), want);
      ++mismatches;
    }
  }
  return mismatches == 0 ? 0 : kMismatch;
}

int ClientPutConfig(int autoCommit, int configValue) {
  ResultCode rc = InitializeTQ5ORVCache();
  if (rc == CACHE_OK) rc = ClientPutConfigurationData(autoCommit, configValue);
  return Exit(rc);
}

int ClientExpectConfig(int autoCommit, int configValue) {
  ResultCode rc = InitializeTQ5ORVCache();
  int32_t a = 0, c = 0;
  if (rc == CACHE_OK) rc = ClientGetConfigurationData(&a, &c);
  if (rc != CACHE_OK) return Exit(rc);
  if (a != autoCommit || c != configValue) {
    std::fprintf(stderr, "config %d %d, expected %d %d\n", a, c, autoCommit, configValue);
    return kMismatch;
  }
  return 0;
}

// Lists the roles as a client ("all" or "active") and expects exactly the given
// "slot:name" records, in that order.
int ClientExpectRoles(const std::string& which, int expectedCount, char** expected) {
  ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  std::vector<RoleEntry> roles(1024);
  int32_t count = static_cast<int32_t>(roles.size());
  rc = which == "active" ? ClientGetAllActiveRolesCacheDataSharedMemory(&count, roles.data())
                         : ClientGetAllRolesCacheDataSharedMemory(&count, roles.data());
  if (rc != CACHE_OK) return Exit(rc);
  if (count != expectedCount) {
    std::fprintf(stderr, "%d roles, expected %d\n", count, expectedCount);
    return kMismatch;
  }
  for (int i = 0; i < count; ++i) {
    const std::string got = std::to_string(roles[i].slot) + ":" + roles[i].name;
    if (got != expected[i]) {
      std::fprintf(stderr, "role %d is %s, expected %s\n", i, got.c_str(), expected[i]);
      return kMismatch;
    }
  }
  return 0;
}

// Whether `role` may be one of user u<user>'s roles: its own pool P<user>_* or the
// shared S*, with the id that goes with the name. Anything else was never granted.
bool Grantable(const RoleNameId& role, int user) {
  const std::string name = role.name;
  const std::string pool = "P" + std::to_string(user) + "_";
  const bool ours = name.compare(0, pool.size(), pool) == 0 || name.compare(0, 1, "S") == 0;
  return ours && "ID-" + name == role.id;
}

enum class UserCall { kFind, kCurrent, kDelete, kCommit };
constexpr const char* kCallNames[] = {"find", "current roles of", "delete", "commit"};

// One call on user u<user> of CORP. False, with a message, for an answer the scenario
// does not allow or a role the directory cannot have given the user.
bool CallOnUser(UserCall call, int user, int timeoutMs) {
  const std::string name = "u" + std::to_string(user);
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
  ResultCode rc = CACHE_OK;
  bool allowed = false;
  switch (call) {
    case UserCall::kFind:
      rc = ClientFindUserRoles("CORP", name.c_str(), &count, roles, timeoutMs);
      allowed = rc == CACHE_OK || rc == CACHE_E_USER_FETCH_CALL;  // @fail and absent users
      break;
    case UserCall::kCurrent:
      rc = ClientFindUserCurrentRoles("CORP", name.c_str(), &count, roles);
      allowed = rc == CACHE_OK || rc == CACHE_E_USER_NOT_CACHED;
      break;
    case UserCall::kDelete:
      rc = ClientDeleteUserCacheDataSharedMemory("CORP", name.c_str());
      allowed = rc == CACHE_OK || rc == CACHE_E_USER_NOT_CACHED;
      break;
    case UserCall::kCommit:
      rc = ClientRefreshUserRoles("CORP", name.c_str());
      allowed = rc == CACHE_OK || rc == CACHE_E_USER_NOT_CACHED || rc == CACHE_E_USER_ROLES_FAILED;
      break;
  }
  if (!allowed) {
    std::fprintf(stderr, "%s %s: %d\n", kCallNames[static_cast<int>(call)], name.c_str(), rc);
    return false;
  }
  const bool answered = call == UserCall::kFind || call == UserCall::kCurrent;
  for (int32_t r = 0; answered && rc == CACHE_OK && r < count; ++r) {
    if (!Grantable(roles[r], user)) {
      std::fprintf(stderr, "%s %s: role %s (%s) was never the user's\n",
                   kCallNames[static_cast<int>(call)], name.c_str(), roles[r].name, roles[r].id);
      return false;
    }
  }
  return true;
}

// Works on users u0..u<users-1> of CORP, `iterations` times: deletes one, or looks at
// its current roles, maybe commits them, and looks it up.
int UserChurn(unsigned seed, int iterations, int users, int timeoutMs) {
  const ResultCode rc = InitializeTQ5ORVCache();
  if (rc != CACHE_OK) return Exit(rc);
  std::mt19937 random(seed);
  for (int i = 0; i < iterations; ++i) {
    const int user = static_cast<int>(random() % static_cast<unsigned>(users));
    const unsigned op = random() % 100;
    bool ok = true;
    if (op < 15) {
      ok = CallOnUser(UserCall::kDelete, user, timeoutMs);
    } else {
      ok = CallOnUser(UserCall::kCurrent, user, timeoutMs) &&
           (op % 2 == 0 || CallOnUser(UserCall::kCommit, user, timeoutMs)) &&
           CallOnUser(UserCall::kFind, user, timeoutMs);
    }
    if (!ok) return kMismatch;
  }
  return 0;
}

// Tries each kind of use of the cache as a client would, whatever fails, and prints one
// line "init list find put file" of results: the export's codes, and whether the cache
// file could be opened for reading (1) or not (0).
int AccessProbe(const std::string& cacheFile) {
  const ResultCode init = InitializeTQ5ORVCache();
  UserEntry users[4]{};
  int32_t count = 4;
  const ResultCode list = ClientGetAllUsersCacheDataSharedMemory(&count, users);
  RoleNameId role{};
  int32_t roles = 1;
  const ResultCode find = ClientFindUserCurrentRoles("CORP", "nobody", &roles, &role);
  const ResultCode put = ClientPutConfigurationData(-1, 4242);
  const bool readable = static_cast<bool>(std::ifstream(cacheFile));
  std::printf("%d %d %d %d %d\n", init, list, find, put, readable ? 1 : 0);
  if (init == CACHE_OK) UninitializeTQ5ORVCache();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "serve" && argc == 4) return Serve(argv[2], argv[3]);
  if (command == "lock-and-die" && argc == 4) return LockAndDie(argv[2], std::atoi(argv[3]));
  if (command == "damage-and-die" && argc == 3) return DamageAndDie(argv[2]);
  if (command == "damage-index-and-die" && argc == 3) return DamageIndexAndDie(argv[2]);
  if (command == "hold-until" && argc == 4) return HoldUntil(argv[2], argv[3]);
  if (command == "client-poll" && argc == 4) return ClientPoll(argv[2], argv[3]);
  if (command == "bare-put-config" && argc == 5) {
    return BarePutConfig(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  }
  if (command == "lookup-expect" && argc >= 5) {
    return LookupExpect(argv[2], argv[3], argv[4], argc - 5, argv + 5);
  }
  if (command == "statistics-expect") return StatisticsExpect(argc - 2, argv + 2);
  if (command == "client-put-config" && argc == 4) {
    return ClientPutConfig(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  if (command == "client-expect-config" && argc == 4) {
    return ClientExpectConfig(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  if (command == "client-expect-roles" && argc >= 3) {
    return ClientExpectRoles(argv[2], argc - 3, argv + 3);
  }
  if (command == "access-probe" && argc == 3) return AccessProbe(argv[2]);
  if (command == "user-churn" && argc == 6) {
    return UserChurn(static_cast<unsigned>(std::atoll(argv[2])), std::atoi(argv[3]),
                     std::atoi(argv[4]), std::atoi(argv[5]));
  }
  std::fprintf(stderr,
               "usage: tq5_peer serve READY STOP | lock-and-die READY MS | damage-and-die READY |\n"
               "  damage-index-and-die READY | hold-until READY RELEASE | bare-put-config READY A "
               "C | client-poll READY STOP |\n"
               "  client-put-config A C | client-expect-config A C |\n"
               "  lookup-expect DONE DOMAIN USER ROLE... |\n"
               "  client-expect-roles all|active SLOT:NAME... |\n"
               "  user-churn SEED ITERATIONS USERS TIMEOUT_MS | access-probe CACHE_FILE\n");
  return kUsage;
}
