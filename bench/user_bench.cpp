// User lookups in a full table (1024 users of 16 roles each, 1024 roles): a hit from a
// client process and from the server's own, the same search over a plain in-memory copy
// of the table as the floor, a miss that fetches from the directory file, the same miss
// from the machine's user and group database, and a sweep that fetches every user again.
// The server starts from a cache file image, so that the table is full without 1024
// fetches.
#include <benchmark/benchmark.h>
#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench_data.h"
#include "bench_world.h"
#include "region/text.h"
#include "tq5orvcache.h"

// Every allocation of the process, the library's included, so that a benchmark can show
// how many its operation makes. Not inlined: the compiler would take the free() in
// delete for the release of a new'd pointer.
namespace {
std::atomic<uint64_t> allocations{0};
}  // namespace

__attribute__((noinline)) void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;

constexpr int32_t kUsers = 1024;
using tq5bench::kDomain;
using tq5bench::kRoles;
using tq5bench::kRolesPerUser;
using tq5bench::kTimeoutMs;
using tq5bench::RoleText;

std::string UserName(int32_t user) {
  char name[TQ5ORVCACHE_TEXT_SIZE];
  std::snprintf(name, sizeof name, "operator%04d", user);
  return name;
}

// Every role is held by 16 users.
int32_t RoleOf(int32_t user, int32_t k) { return (user * kRolesPerUser + k) % kRoles; }

struct Table {
  CacheHeader header{};
  std::vector<RoleEntry> roles = std::vector<RoleEntry>(kRoles);
  std::vector<UserEntry> users = std::vector<UserEntry>(kUsers);
};

Table FullTable() {
  Table table;
  table.header = {kRoles, kRoles, kRoles, kUsers, kUsers, kUsers, 1, 300};
  for (int32_t i = 0; i < kRoles; ++i) {
    RoleEntry& role = table.roles[i];
    role.inUse = role.listed = 1;
    role.slot = i;
    RoleText(i, role.name, role.id);
  }
  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  for (int32_t u = 0; u < kUsers; ++u) {
    UserEntry& user = table.users[u];
    user.inUse = 1;
    user.roleCount = user.currentRoleCount = kRolesPerUser;
    for (int32_t k = 0; k < kRolesPerUser; ++k) {
      user.roleSlots[k] = user.currentRoleSlots[k] = RoleOf(u, k);
      ++table.roles[RoleOf(u, k)].userRefs;
    }
    user.status = USER_ROLES_CURRENT;
    user.slot = u;
    user.lastAccess = now;
    std::snprintf(user.domainName, sizeof user.domainName, "%s", kDomain);
    std::snprintf(user.userName, sizeof user.userName, "%s", UserName(u).c_str());
  }
  return table;
}

void WriteCacheFile(const std::string& path, const Table& table) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&table.header), sizeof table.header);
  out.write(reinterpret_cast<const char*>(table.roles.data()),
            static_cast<std::streamsize>(sizeof(RoleEntry) * table.roles.size()));
  out.write(reinterpret_cast<const char*>(table.users.data()),
            static_cast<std::streamsize>(sizeof(UserEntry) * table.users.size()));
}

std::string directoryPath;

// The directory answers users first..last with their 16 roles at once. A change to the
// file shows at the next fetch, so it may change between benchmarks.
void WriteDirectoryFile(int32_t first, int32_t last) {
  std::ofstream out(directoryPath, std::ios::trunc);
  char name[TQ5ORVCACHE_TEXT_SIZE], id[TQ5ORVCACHE_TEXT_SIZE];
  for (int32_t u = first; u <= last; ++u) {
    for (int32_t k = 0; k < kRolesPerUser; ++k) {
      RoleText(RoleOf(u, k), name, id);
      out << kDomain << '\t' << UserName(u) << '\t' << name << '\t' << id << '\n';
    }
  }
}

// The lookup keys, spelt in another case than the table, as callers may.
std::string KeyName(int32_t user) {
  std::string name = UserName(user);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// ---- The floor: the same search over a plain copy of the table ----------------------

// The library's own comparison of 64-byte fields, so that the floor compares alike.
using Field = tq5::region::TextField;
using tq5::region::EqualsIgnoringAsciiCase;

// The index of the user, as the library's search finds it; -1 if none.
__attribute__((noinline)) int32_t PlainFindEntry(const Table& table, const Field& domain,
                                                 const Field& user) {
  const int32_t limit = table.header.userHighWater;
  for (int32_t i = 0; i < limit; ++i) {
    const UserEntry& entry = table.users[i];
    if (entry.inUse == 1 && EqualsIgnoringAsciiCase(entry.userName, user) &&
        EqualsIgnoringAsciiCase(entry.domainName, domain)) {
      return i;
    }
  }
  return -1;
}

ResultCode PlainFind(const Table& table, const char* domainName, const char* userName,
                     int32_t* count, RoleNameId* out) {
  Field domain{}, user{};
  const std::size_t domainLength = strnlen(domainName, sizeof domain);
  const std::size_t userLength = strnlen(userName, sizeof user);
  if (domainLength == 0 || domainLength >= sizeof domain) return CACHE_E_BAD_DOMAIN_NAME;
  if (userLength == 0 || userLength >= sizeof user) return CACHE_E_BAD_USER_NAME;
  std::memcpy(domain, domainName, domainLength);
  std::memcpy(user, userName, userLength);
  const int32_t index = PlainFindEntry(table, domain, user);
  if (index < 0) return CACHE_E_USER_NOT_CACHED;
  const UserEntry& entry = table.users[index];
  if (entry.roleCount > *count) {
    *count = entry.roleCount;
    return CACHE_E_BUFFER_TOO_SMALL;
  }
  int32_t written = 0;
  for (int32_t k = 0; k < entry.roleCount; ++k) {
    const int32_t slot = entry.roleSlots[k];
    if (slot < 0) continue;
    if (slot >= kRoles || table.roles[slot].slot != slot) return CACHE_E_CORRUPTED;
    const RoleEntry& role = table.roles[slot];
    if (role.inUse == 0) return CACHE_E_ROLE_MISSING;
    std::memcpy(out[written].name, role.name, sizeof role.name);
    std::memcpy(out[written].id, role.id, sizeof role.id);
    ++written;
  }
  *count = written;
  return CACHE_OK;
}

// ---- Where the server runs ----------------------------------------------------------

bool StartServer() {
  return InitializeTQ5ORVCacheServer() == CACHE_OK && InitializeCacheDataSharedMemory() == CACHE_OK;
}

using tq5bench::World;

World& TheWorld() {
  static World world(StartServer);
  return world;
}

// ---- Benchmarks -----------------------------------------------------------------------

// Runs `find` on the user at index state.range(0) and checks that its 16 roles come back.
template <typename Find>
void Lookups(benchmark::State& state, Find find) {
  const std::string user = KeyName(static_cast<int32_t>(state.range(0)));
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  const uint64_t before = allocations.load();
  for (auto _ : state) {
    int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
    if (find("plant", user.c_str(), &count, roles) != CACHE_OK || count != kRolesPerUser) {
      return state.SkipWithError("lookup failed");
    }
    benchmark::DoNotOptimize(roles);
  }
  state.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
}

// The user in the middle of the table and the last one; the machine is shared and noisy,
// so each runs several times and the fastest run is reported beside the mean.
void HitArgs(benchmark::internal::Benchmark* b) {
  b->Arg(kUsers / 2)->Arg(kUsers - 1)->Repetitions(5)->ReportAggregatesOnly(true);
  b->Unit(benchmark::kMicrosecond);
  b->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

ResultCode FindRoles(const char* domain, const char* user, int32_t* count, RoleNameId* roles) {
  return ClientFindUserRoles(domain, user, count, roles, kTimeoutMs);
}

void BM_HitFloor(benchmark::State& state) {
  static const Table table = FullTable();
  Lookups(state, [](const char* d, const char* u, int32_t* c, RoleNameId* r) {
    return PlainFind(table, d, u, c, r);
  });
}
BENCHMARK(BM_HitFloor)->Apply(HitArgs);

void BM_HitClient(benchmark::State& state) {
  if (!TheWorld().Be(World::kChild)) return state.SkipWithError("no server");
  Lookups(state, FindRoles);
}
BENCHMARK(BM_HitClient)->Apply(HitArgs);

void BM_HitServer(benchmark::State& state) {
  if (!TheWorld().Be(World::kHere)) return state.SkipWithError("no server");
  Lookups(state, FindRoles);
}
BENCHMARK(BM_HitServer)->Apply(HitArgs);

// A fetch runs on a thread of its own: the cost of starting and joining one, beside the
// misses below.
void BM_ThreadStart(benchmark::State& state) {
  for (auto _ : state) std::thread([] {}).join();
}
BENCHMARK(BM_ThreadStart)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The user is deleted (untimed) and looked up again: a fetch, the match of its 16 roles
// against the role table, and the new entry stored and flushed. The directory file holds
// every user, or only this one: the file is parsed once per version, so after the first
// fetch its size should barely show.
void BM_Miss(benchmark::State& state) {
  if (!TheWorld().Be(World::kHere)) return state.SkipWithError("no server");
  const int32_t index = static_cast<int32_t>(state.range(0));
  if (state.range(1)) {
    WriteDirectoryFile(0, kUsers - 1);
  } else {
    WriteDirectoryFile(index, index);
  }
  const std::string user = KeyName(index);
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  for (auto _ : state) {
    state.PauseTiming();
    const ResultCode deleted = ClientDeleteUserCacheDataSharedMemory(kDomain, user.c_str());
    state.ResumeTiming();
    int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
    if (deleted != CACHE_OK || FindRoles(kDomain, user.c_str(), &count, roles) != CACHE_OK ||
        count != kRolesPerUser) {
      return state.SkipWithError("miss failed");
    }
  }
}
BENCHMARK(BM_Miss)
    ->ArgNames({"user", "whole_directory"})
    ->Args({kUsers - 1, 1})
    ->Args({kUsers - 1, 0})
    ->UseRealTime()  // the fetch runs on a worker thread
    ->Unit(benchmark::kMillisecond);

// The same miss from the machine's user and group database, for the user running the
// benchmark. The process keeps the directory object it made first, so the misses run in
// a child process of this program that uses the database; it reports each miss's time.
void BM_MissNss(benchmark::State& state) {
  const std::string command = "'" + fs::read_symlink("/proc/self/exe").string() + "'" +
                              " --nss_miss_child=" + std::to_string(state.max_iterations);
  std::FILE* child = popen(command.c_str(), "r");
  if (!child) return state.SkipWithError("no child");
  std::vector<double> seconds;
  double one = 0;
  while (std::fscanf(child, "%lf", &one) == 1) seconds.push_back(one);
  const int status = pclose(child);
  if (status != 0 || seconds.size() != static_cast<std::size_t>(state.max_iterations)) {
    return state.SkipWithError("nss misses failed");
  }
  std::size_t next = 0;
  for (auto _ : state) state.SetIterationTime(seconds[next++]);
}
BENCHMARK(BM_MissNss)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

// Every user fetched again; the answers equal the committed sets, so nothing is committed.
void BM_Sweep(benchmark::State& state) {
  if (!TheWorld().Be(World::kHere)) return state.SkipWithError("no server");
  WriteDirectoryFile(0, kUsers - 1);
  for (auto _ : state) {
    if (UpdateAllCurUserRoles(kTimeoutMs) != CACHE_OK) return state.SkipWithError("sweep failed");
  }
  state.SetItemsProcessed(state.iterations() * kUsers);
}
BENCHMARK(BM_Sweep)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Objects and files of the process's own: the region starts from our cache file and the
// directory is our file, or the machine's database.
struct Setup {
  std::string prefix = "ubench" + std::to_string(getpid()) + "_";
  fs::path folder = fs::temp_directory_path() / prefix;

  explicit Setup(bool nss) {
    fs::create_directories(folder);
    directoryPath = (folder / "directory.txt").string();
    WriteCacheFile((folder / "TQ5ORVCACHE.dat").string(), FullTable());
    WriteDirectoryFile(0, kUsers - 1);
    setenv("TQ5ORVCACHE_OBJECT_PREFIX", prefix.c_str(), 1);
    setenv("MERLOC_GROUP_FOLDER_NAME", folder.c_str(), 1);
    setenv("TQ5ORVCACHE_DIRECTORY", nss ? "nss" : ("file:" + directoryPath).c_str(), 1);
  }
  ~Setup() {
    TheWorld().Leave();
    // The library never removes the mutex's name; these names are the benchmark's own.
    shm_unlink(("/" + prefix + "ZOLMAR_ORVCACHE_MUTEX").c_str());
    shm_unlink(("/" + prefix + "ZOLMAR_ORVCACHE").c_str());
    std::error_code error;
    fs::remove_all(folder, error);
  }
};

// The child of BM_MissNss: `count` misses of this process's user, each one's seconds on
// a line of its own.
int NssMisses(int count) {
  Setup setup(true);
  const passwd* me = getpwuid(getuid());
  if (!me || !TheWorld().Be(World::kHere)) return 1;
  const std::string user = me->pw_name;
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  for (int i = -1; i < count; ++i) {  // the first one untimed: the object is made
    if (ClientDeleteUserCacheDataSharedMemory(kDomain, user.c_str()) != CACHE_OK && i >= 0) {
      return 1;
    }
    int32_t found = TQ5ORVCACHE_MAX_USER_ROLES;
    const auto start = std::chrono::steady_clock::now();
    if (FindRoles(kDomain, user.c_str(), &found, roles) != CACHE_OK) return 1;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (i >= 0) std::printf("%.9f\n", took.count());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string child = "--nss_miss_child=";
  if (argc == 2 && std::strncmp(argv[1], child.c_str(), child.size()) == 0) {
    return NssMisses(std::atoi(argv[1] + child.size()));
  }
  Setup setup(false);
  benchmark::Initialize(&argc, argv);
  const bool usage = benchmark::ReportUnrecognizedArguments(argc, argv);
  if (!usage) benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return usage ? 1 : 0;
}
