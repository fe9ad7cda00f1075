// Lookups as the user table grows: a client's hit at 1,024, 8,192 and 65,536 cached users
// (users chosen at random over the table, 16 roles each), the hits per second that 1, 2
// and 4 client processes get together, a lookup of a name the directory does not know
// beside a hit, and the table's other users of the mutex at 1,024 users: a miss, a sweep
// and a full role load. The server starts from a cache file image of the size at hand,
// in a child process, so that this one is a plain client.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_data.h"
#include "bench_world.h"
#include "tq5orvcache.h"

namespace {

namespace fs = std::filesystem;

using tq5bench::kDomain;
using tq5bench::kRoles;
using tq5bench::kRolesPerUser;
using tq5bench::kTimeoutMs;
using tq5bench::RoleText;

std::string UserName(int32_t user) {
  char name[TQ5ORVCACHE_TEXT_SIZE];
  std::snprintf(name, sizeof name, "operator%05d", user);
  return name;
}

// The lookup keys, spelt in another case than the table, as callers may.
std::string KeyName(int32_t user) {
  std::string name = UserName(user);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

int32_t RoleOf(int32_t user, int32_t k) { return (user * kRolesPerUser + k) % kRoles; }

std::vector<RoleEntry> RoleList() {
  std::vector<RoleEntry> roles(kRoles);
  for (int32_t i = 0; i < kRoles; ++i) {
    RoleEntry& role = roles[i];
    role.inUse = role.listed = 1;
    role.slot = i;
    RoleText(i, role.name, role.id);
  }
  return roles;
}

// A cache file whose user table of `users` slots is full.
void WriteCacheFile(const std::string& path, int32_t users) {
  const CacheHeader header{kRoles, kRoles, kRoles, users, users, users, 1, 300};
  std::vector<RoleEntry> roles = RoleList();
  std::vector<UserEntry> table(static_cast<std::size_t>(users));
  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  for (int32_t u = 0; u < users; ++u) {
    UserEntry& user = table[static_cast<std::size_t>(u)];
    user.inUse = 1;
    user.roleCount = user.currentRoleCount = kRolesPerUser;
    for (int32_t k = 0; k < kRolesPerUser; ++k) {
      user.roleSlots[k] = user.currentRoleSlots[k] = RoleOf(u, k);
      ++roles[RoleOf(u, k)].userRefs;
    }
    user.status = USER_ROLES_CURRENT;
    user.slot = u;
    user.lastAccess = now;
    std::snprintf(user.domainName, sizeof user.domainName, "%s", kDomain);
    std::snprintf(user.userName, sizeof user.userName, "%s", UserName(u).c_str());
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(roles.data()),
            static_cast<std::streamsize>(sizeof(RoleEntry) * roles.size()));
  out.write(reinterpret_cast<const char*>(table.data()),
            static_cast<std::streamsize>(sizeof(UserEntry) * table.size()));
}

// ---- Where the server runs ----------------------------------------------------------

fs::path folder;
std::string directoryPath;
int32_t tableUsers = 0;  // the size the next server starts with
int32_t servedUsers = 0;  // the size the running server started with

bool StartServer() {
  WriteCacheFile((folder / "TQ5ORVCACHE.dat").string(), tableUsers);
  if (InitializeTQ5ORVCacheServer() != CACHE_OK) return false;
  return InitializeCacheDataSharedMemory() == CACHE_OK;
}

using tq5bench::World;

World& TheWorld() {
  static World world(StartServer);
  return world;
}

// A server of `users` users, in this process or a child.
bool Serve(int32_t users, World::Where where) {
  if (servedUsers != users) TheWorld().Leave();
  tableUsers = servedUsers = users;
  return TheWorld().Be(where);
}

// The directory answers users 0..users-1 with their 16 roles.
void WriteDirectoryFile(int32_t users) {
  std::ofstream out(directoryPath, std::ios::trunc);
  char name[TQ5ORVCACHE_TEXT_SIZE], id[TQ5ORVCACHE_TEXT_SIZE];
  for (int32_t u = 0; u < users; ++u) {
    for (int32_t k = 0; k < kRolesPerUser; ++k) {
      RoleText(RoleOf(u, k), name, id);
      out << kDomain << '\t' << UserName(u) << '\t' << name << '\t' << id << '\n';
    }
  }
}

// Keys of users picked at random over the table, the same for every run of one size.
std::vector<std::string> RandomKeys(int32_t users, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int32_t> pick(0, users - 1);
  std::vector<std::string> keys(4096);
  for (std::string& key : keys) key = KeyName(pick(random));
  return keys;
}

bool Hit(const std::string& user, RoleNameId* roles) {
  int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
  return ClientFindUserRoles(kDomain, user.c_str(), &count, roles, kTimeoutMs) == CACHE_OK &&
         count == kRolesPerUser;
}

void Statistics(benchmark::internal::Benchmark* b) {
  b->Repetitions(3)->ReportAggregatesOnly(true);
  b->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

// ---- Benchmarks -----------------------------------------------------------------------

void BM_ClientHit(benchmark::State& state) {
  const auto users = static_cast<int32_t>(state.range(0));
  if (!Serve(users, World::kChild)) return state.SkipWithError("no server");
  const std::vector<std::string> keys = RandomKeys(users, 1);
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  std::size_t next = 0;
  for (auto _ : state) {
    if (!Hit(keys[next++ % keys.size()], roles)) return state.SkipWithError("lookup failed");
    benchmark::DoNotOptimize(roles);
  }
}
BENCHMARK(BM_ClientHit)
    ->ArgName("users")
    ->Arg(1024)
    ->Arg(8192)
    ->Arg(65536)
    ->Unit(benchmark::kMicrosecond)
    ->Apply(Statistics);

// The child of BM_HitsPerSecond: waits for a byte on stdin, then looks up random users
// for `seconds` and prints how many it answered.
int HitChild(int32_t users, double seconds, unsigned seed) {
  if (InitializeTQ5ORVCache() != CACHE_OK) return 1;
  const std::vector<std::string> keys = RandomKeys(users, seed);
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  if (!Hit(keys[0], roles)) return 1;  // the view mapped before the clock starts
  char go;
  if (read(STDIN_FILENO, &go, 1) != 1) return 1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long hits = 0;
  for (std::size_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
    if (!Hit(keys[i % keys.size()], roles)) return 1;
    ++hits;
  }
  std::printf("%ld\n", hits);
  return 0;
}

struct Child {
  pid_t pid = -1;
  int go = -1;
  std::FILE* out = nullptr;
};

Child SpawnHitChild(int32_t users, double seconds, unsigned seed) {
  int in[2], out[2];
  Child child;
  if (pipe(in) != 0 || pipe(out) != 0) return child;
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string arg = "--hit_child=" + std::to_string(users) + "," + std::to_string(seconds) +
                          "," + std::to_string(seed);
  child.pid = fork();
  if (child.pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(in[1]);
    close(out[0]);
    execl(self.c_str(), self.c_str(), arg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  child.go = in[1];
  child.out = fdopen(out[0], "r");
  return child;
}

// Hits per second of all `processes` clients together, each looking up random users
// for the same window.
void BM_HitsPerSecond(benchmark::State& state) {
  const auto users = static_cast<int32_t>(state.range(0));
  const auto processes = static_cast<int>(state.range(1));
  constexpr double kSeconds = 1.5;
  if (!Serve(users, World::kChild)) return state.SkipWithError("no server");
  for (auto _ : state) {
    std::vector<Child> children;
    for (int p = 0; p < processes; ++p) {
      children.push_back(SpawnHitChild(users, kSeconds, static_cast<unsigned>(p + 2)));
    }
    usleep(300000);  // every child has started and mapped the region
    for (Child& c : children) {
      if (write(c.go, "g", 1) != 1) return state.SkipWithError("child failed");
    }
    long total = 0;
    bool failed = false;
    for (Child& c : children) {
      long hits = 0;
      failed |= !c.out || std::fscanf(c.out, "%ld", &hits) != 1;
      total += hits;
      if (c.out) std::fclose(c.out);
      close(c.go);
      int status = 0;
      waitpid(c.pid, &status, 0);
      failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    if (failed) return state.SkipWithError("child failed");
    state.SetIterationTime(kSeconds);
    state.counters["hits_per_s"] = static_cast<double>(total) / kSeconds;
  }
}
BENCHMARK(BM_HitsPerSecond)
    ->ArgNames({"users", "processes"})
    ->ArgsProduct({{1024, 65536}, {1, 2, 4}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A name the directory does not know, looked up again and again: each lookup asks the
// directory, unless failed answers are kept (negative-cache-seconds, on for this run).
void BM_UnknownUser(benchmark::State& state) {
  if (!Serve(1024, World::kChild)) return state.SkipWithError("no server");
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  ResultCode first = CACHE_OK;
  for (auto _ : state) {
    int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
    const ResultCode rc = ClientFindUserRoles(kDomain, "NOBODY", &count, roles, kTimeoutMs);
    if (rc == CACHE_OK) return state.SkipWithError("an unknown user was found");
    if (first == CACHE_OK) first = rc;
    if (rc != first) return state.SkipWithError("the answer changed");
  }
}
BENCHMARK(BM_UnknownUser)->UseRealTime()->Unit(benchmark::kMicrosecond)->Apply(Statistics);

// The same user looked up again and again, beside the unknown one.
void BM_SameUserHit(benchmark::State& state) {
  if (!Serve(1024, World::kChild)) return state.SkipWithError("no server");
  const std::string user = KeyName(517);
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  for (auto _ : state) {
    if (!Hit(user, roles)) return state.SkipWithError("lookup failed");
  }
}
BENCHMARK(BM_SameUserHit)->UseRealTime()->Unit(benchmark::kMicrosecond)->Apply(Statistics);

// A user deleted (untimed) and looked up again: fetched, matched, stored and flushed.
void BM_Miss(benchmark::State& state) {
  if (!Serve(1024, World::kHere)) return state.SkipWithError("no server");
  const std::string user = KeyName(1023);
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  for (auto _ : state) {
    state.PauseTiming();
    const ResultCode deleted = ClientDeleteUserCacheDataSharedMemory(kDomain, user.c_str());
    state.ResumeTiming();
    if (deleted != CACHE_OK || !Hit(user, roles)) return state.SkipWithError("miss failed");
  }
}
BENCHMARK(BM_Miss)->UseRealTime()->Unit(benchmark::kMicrosecond)->Apply(Statistics);

// Every one of 1,024 users fetched again; their answers equal their committed sets.
void BM_Sweep(benchmark::State& state) {
  if (!Serve(1024, World::kHere)) return state.SkipWithError("no server");
  for (auto _ : state) {
    if (UpdateAllCurUserRoles(kTimeoutMs) != CACHE_OK) return state.SkipWithError("sweep failed");
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_Sweep)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The full role load over a table of 1,024 users: the same roles in another order, so
// every user's sets are carried over to the new slots.
void BM_FullRoleLoad(benchmark::State& state) {
  if (!Serve(1024, World::kHere)) return state.SkipWithError("no server");
  std::vector<RoleEntry> a = RoleList(), b = RoleList();
  std::shuffle(b.begin(), b.end(), std::mt19937(7));
  bool flip = false;
  for (auto _ : state) {
    const std::vector<RoleEntry>& list = (flip = !flip) ? b : a;
    if (PutAllRolesCacheDataSharedMemory(kRoles, list.data()) != CACHE_OK) {
      return state.SkipWithError("load failed");
    }
  }
}
BENCHMARK(BM_FullRoleLoad)->Unit(benchmark::kMillisecond)->Apply(Statistics);

struct Setup {
  std::string prefix = "tbench" + std::to_string(getpid()) + "_";

  Setup() {
    folder = fs::temp_directory_path() / prefix;
    fs::create_directories(folder);
    directoryPath = (folder / "directory.txt").string();
    WriteDirectoryFile(1024);
    setenv("TQ5ORVCACHE_OBJECT_PREFIX", prefix.c_str(), 1);
    setenv("MERLOC_GROUP_FOLDER_NAME", folder.c_str(), 1);
    setenv("TQ5ORVCACHE_DIRECTORY", ("file:" + directoryPath).c_str(), 1);
    // Failed answers kept for a minute, where the build knows the setting.
    setenv("TQ5ORVCACHE_NEGATIVE_CACHE_SECONDS", "60", 1);
  }
  ~Setup() {
    TheWorld().Leave();
    for (const char* name : {"ZOLMAR_ORVCACHE_MUTEX", "ZOLMAR_ORVCACHE", "ZOLMAR_ORVCACHE_STATS",
                             "ZOLMAR_ORVCACHE_INDEX"}) {
      shm_unlink(("/" + prefix + name).c_str());
    }
    std::error_code error;
    fs::remove_all(folder, error);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string child = "--hit_child=";
  if (argc == 2 && std::strncmp(argv[1], child.c_str(), child.size()) == 0) {
    int users = 0;
    double seconds = 0;
    unsigned seed = 0;
    if (std::sscanf(argv[1] + child.size(), "%d,%lf,%u", &users, &seconds, &seed) != 3) return 2;
    return HitChild(users, seconds, seed);
  }
  Setup setup;
  benchmark::Initialize(&argc, argv);
  const bool usage = benchmark::ReportUnrecognizedArguments(argc, argv);
  if (!usage) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return usage ? 1 : 0;
}
