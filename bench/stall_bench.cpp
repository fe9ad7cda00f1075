// How long a cached lookup waits while another process misses against a directory that
// answers after 2 s: idle, with misses that hold the global cache mutex through the fetch
// (the default), and with misses that let it go (fetch-outside-lock). Each run asks for a
// cached user at a steady rate for a window that spans several misses and reports the
// latency percentiles as counters.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tq5orvcache.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDelayMs = 2000;
constexpr auto kWindow = std::chrono::seconds(7);
constexpr auto kPeriod = std::chrono::microseconds(500);

RoleEntry Role() {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "Operators");
  std::snprintf(role.id, sizeof role.id, "S-1-100");
  return role;
}

// A process of its own, so that it shares nothing with this one but the kernel objects.
pid_t Spawn(int (*body)(const char*), const char* arg) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body(arg));
  return pid;
}

int Serve(const char* stopPath) {
  if (InitializeTQ5ORVCacheServer() != CACHE_OK || InitializeCacheDataSharedMemory() != CACHE_OK)
    return 1;
  const RoleEntry role = Role();
  PutAllRolesCacheDataSharedMemory(1, &role);
  std::ofstream(std::string(stopPath) + ".ready");
  while (!fs::exists(stopPath)) usleep(10000);
  UninitializeCacheDataSharedMemory();
  UninitializeTQ5ORVCache();
  return 0;
}

// Misses user after user, each of which the directory answers only after kDelayMs, with
// a pause between them: back to back, a miss that holds the mutex would retake it before
// any waiter and starve the lookups outright.
int Miss(const char* mode) {
  setenv("TQ5ORVCACHE_FETCH_OUTSIDE_LOCK", mode, 1);
  if (InitializeTQ5ORVCache() != CACHE_OK) return 1;
  for (int i = 0;; ++i) {
    RoleNameId roles[4];
    int32_t count = 4;
    const std::string user = "slow" + std::to_string(i % 1000);
    ClientFindUserRoles("CORP", user.c_str(), &count, roles, 60000);
    usleep(100000);
  }
}

class Setup {
 public:
  Setup() {
    folder_ = fs::temp_directory_path() / ("tq5-stall-" + std::to_string(getpid()));
    fs::create_directories(folder_);
    std::ofstream dir(folder_ / "directory.txt");
    dir << "CORP\tcached\tOperators\tS-1-100\n";
    for (int i = 0; i < 1000; ++i) {
      dir << "CORP\tslow" << i << "\tOperators\tS-1-100\n";
      dir << "CORP\tslow" << i << "\t@delay\t" << kDelayMs << "\n";
    }
    dir.close();
    setenv("TQ5ORVCACHE_DIRECTORY", ("file:" + (folder_ / "directory.txt").string()).c_str(), 1);
    setenv("TQ5ORVCACHE_OBJECT_PREFIX", ("stall" + std::to_string(getpid()) + "_").c_str(), 1);
    stop_ = (folder_ / "stop").string();
    server_ = Spawn(Serve, stop_.c_str());
    while (!fs::exists(stop_ + ".ready")) usleep(10000);
    InitializeTQ5ORVCache();
    Lookup();  // the cached user every measurement asks for
  }
  ~Setup() {
    UninitializeTQ5ORVCache();
    std::ofstream(stop_).close();
    waitpid(server_, nullptr, 0);
    fs::remove_all(folder_);
  }

  static ResultCode Lookup() {
    RoleNameId roles[4];
    int32_t count = 4;
    return ClientFindUserRoles("CORP", "cached", &count, roles, 60000);
  }

 private:
  fs::path folder_;
  std::string stop_;
  pid_t server_ = -1;
};

// mode: "" = nobody misses, else the misser's fetch-outside-lock setting.
void Measure(benchmark::State& state, const char* mode) {
  static Setup setup;
  const pid_t misser = *mode ? Spawn(Miss, mode) : -1;
  usleep(200000);  // the misser is inside its first fetch
  std::vector<double> us;
  // Lookups at a steady rate, each timed from when it was due rather than from when it
  // began, so that a lookup stuck behind the mutex also counts against the ones that
  // were due meanwhile (as they would be for a client that asks at that rate).
  for (auto _ : state) {
    const auto begin = Clock::now();
    for (auto due = begin; due < begin + kWindow; due += kPeriod) {
      while (Clock::now() < due) {
      }
      if (Setup::Lookup() != CACHE_OK) state.SkipWithError("lookup failed");
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - due).count());
    }
  }
  if (misser > 0) {
    kill(misser, SIGKILL);  // the library repairs after it if it held the mutex
    waitpid(misser, nullptr, 0);
  }
  std::sort(us.begin(), us.end());
  auto at = [&us](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
  state.counters["lookups"] = static_cast<double>(us.size());
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = us.back();
}

void BM_HitIdle(benchmark::State& state) { Measure(state, ""); }
void BM_HitWhileMissesHoldTheMutex(benchmark::State& state) { Measure(state, "no"); }
void BM_HitWhileMissesFetchOutside(benchmark::State& state) { Measure(state, "yes"); }

BENCHMARK(BM_HitIdle)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HitWhileMissesHoldTheMutex)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HitWhileMissesFetchOutside)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
