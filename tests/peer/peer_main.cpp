// A second process for the multi-process tests. It inherits the test's environment
// (object prefix, cache folder) and plays a server or a client through the exports.
// Exit code: 0 on success, the magnitude of a failing ResultCode, 200 for an answer
// other than the expected one, 201 for bad usage.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "region/region_state.h"
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
  tq5::region::LockCache();
  tq5::region::LockCache();
  Touch(ready);
  SleepMs(holdMs);
  std::_Exit(7);
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

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "serve" && argc == 4) return Serve(argv[2], argv[3]);
  if (command == "lock-and-die" && argc == 4) return LockAndDie(argv[2], std::atoi(argv[3]));
  if (command == "client-put-config" && argc == 4) {
    return ClientPutConfig(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  if (command == "client-expect-config" && argc == 4) {
    return ClientExpectConfig(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  if (command == "client-expect-roles" && argc >= 3) {
    return ClientExpectRoles(argv[2], argc - 3, argv + 3);
  }
  std::fprintf(stderr,
               "usage: tq5_peer serve READY STOP | lock-and-die READY MS |\n"
               "  client-put-config A C | client-expect-config A C |\n"
               "  client-expect-roles all|active SLOT:NAME...\n");
  return kUsage;
}
