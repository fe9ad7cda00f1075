// The role table under load: a merge of a full list into a full table, and the two
// listings of a full table, from the server's own view and from a client process that
// attaches for every call.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_world.h"
#include "tq5orvcache.h"

namespace {

constexpr int32_t kRoles = 1024;  // the default region's role capacity

std::vector<RoleEntry> FullList() {
  std::vector<RoleEntry> roles(kRoles);
  for (int32_t i = 0; i < kRoles; ++i) {
    RoleEntry& role = roles[i];
    role.inUse = 1;
    role.listed = 1;
    std::snprintf(role.name, sizeof role.name, "Historian.Area%02d.Operators%04d", i % 37, i);
    std::snprintf(role.id, sizeof role.id, "S-1-5-21-3623811015-3361044348-30300820-%d", 10000 + i);
  }
  return roles;
}

bool StartServer() {
  if (InitializeTQ5ORVCacheServer() != CACHE_OK) return false;
  if (InitializeCacheDataSharedMemory() != CACHE_OK) return false;
  const std::vector<RoleEntry> roles = FullList();
  return PutAllRolesCacheDataSharedMemory(kRoles, roles.data()) == CACHE_OK;
}

using tq5bench::World;

World& TheWorld() {
  static World world(StartServer);
  return world;
}

void BM_MergeFullListIntoFullTable(benchmark::State& state) {
  if (!TheWorld().Be(World::kHere)) return state.SkipWithError("no server");
  // The same roles in another order: every one is found, none moves.
  std::vector<RoleEntry> roles = FullList();
  std::shuffle(roles.begin(), roles.end(), std::mt19937(7));
  for (auto _ : state) {
    if (UpdateAllRolesCacheDataSharedMemory(kRoles, roles.data()) != CACHE_OK) {
      return state.SkipWithError("merge failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kRoles);
}
BENCHMARK(BM_MergeFullListIntoFullTable)->Unit(benchmark::kMillisecond);

void List(benchmark::State& state, World::Where where, ResultCode (*list)(int32_t*, RoleEntry*)) {
  if (!TheWorld().Be(where)) return state.SkipWithError("no server");
  std::vector<RoleEntry> buffer(kRoles);
  for (auto _ : state) {
    int32_t count = kRoles;
    if (list(&count, buffer.data()) != CACHE_OK || count != kRoles) {
      return state.SkipWithError("listing failed");
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * kRoles);
}

void BM_ListServer(benchmark::State& state, ResultCode (*list)(int32_t*, RoleEntry*)) {
  List(state, World::kHere, list);
}
void BM_ListClient(benchmark::State& state, ResultCode (*list)(int32_t*, RoleEntry*)) {
  List(state, World::kChild, list);
}
BENCHMARK_CAPTURE(BM_ListServer, AllRoles, GetAllRolesCacheDataSharedMemory)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ListServer, ActiveRoles, GetAllActiveRolesCacheDataSharedMemory)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ListClient, AllRoles, ClientGetAllRolesCacheDataSharedMemory)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ListClient, ActiveRoles, ClientGetAllActiveRolesCacheDataSharedMemory)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Objects of our own, and a default region rather than any cache file.
  const std::string prefix = "bench" + std::to_string(getpid()) + "_";
  setenv("TQ5ORVCACHE_OBJECT_PREFIX", prefix.c_str(), 1);
  unsetenv("MERLOC_GROUP_FOLDER_NAME");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TheWorld().Leave();
  // The library never removes the mutex's name; these names are the benchmark's own.
  shm_unlink(("/" + prefix + "ZOLMAR_ORVCACHE_MUTEX").c_str());
  shm_unlink(("/" + prefix + "ZOLMAR_ORVCACHE").c_str());
  return 0;
}
