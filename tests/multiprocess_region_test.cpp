// Several processes on one region: a server and clients in separate processes, the
// region's lifetime, and a process that dies holding the global cache mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#ifndef _WIN32
#include <unistd.h>

#include <filesystem>
#include <fstream>
#endif

#include "support/test_support.h"
#include "tq5orvcache.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using tq5test::Peer;
using tq5test::RunPeer;

class MultiProcess : public tq5test::CacheTest {};

#ifndef _WIN32
// How many mappings and descriptors of the shm object `path` this process holds, the
// name removed or not.
int HeldByThisProcess(const std::string& path) {
  const auto names = [&](const std::string& name) {
    return name == path || name == path + " (deleted)";
  };
  int held = 0;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const std::string::size_type slash = line.find('/');
    held += slash != std::string::npos && names(line.substr(slash));
  }
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    held += names(std::filesystem::read_symlink(fd.path(), error).string());
  }
  return held;
}
#endif

TEST_F(MultiProcess, ClientProcessSharesTheServersRegion) {
  StartServer();
  ASSERT_EQ(CACHE_OK, PutConfigurationData(0, 4242));
  EXPECT_EQ(0, RunPeer({"client-expect-config", "0", "4242"}));
  EXPECT_EQ(0, RunPeer({"client-put-config", "1", "777"}));
  int32_t autoCommit = 0, config = 0;
  ASSERT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &config));
  EXPECT_EQ(1, autoCommit);
  EXPECT_EQ(777, config);
}

TEST_F(MultiProcess, ClientsBeforeAndAfterTheServer) {
  // No server has ever created the mutex.
  EXPECT_EQ(-CACHE_E_MUTEX_OPEN, RunPeer({"client-expect-config", "1", "300"}));

  const std::string ready = PathInFolder("ready"), stop = PathInFolder("stop");
  Peer server({"serve", ready, stop});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  EXPECT_EQ(0, RunPeer({"client-put-config", "0", "55"}));
  EXPECT_EQ(0, RunPeer({"client-expect-config", "0", "55"}));
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCache());
  int32_t config = 0;
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(55, config);

  tq5test::WriteFileBytes(stop, "stop");
  ASSERT_EQ(0, server.Wait());
  // The server shut its region down and wrote the cache file.
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(1351712u, tq5test::ReadFileBytes(CacheFilePath()).size());

  // A new server starts from that file: the clients' change survived.
  Peer again({"serve", ready + "2", stop + "2"});
  ASSERT_TRUE(tq5test::WaitForFile(ready + "2"));
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(55, config);
  tq5test::WriteFileBytes(stop + "2", "stop");
  EXPECT_EQ(0, again.Wait());
}

TEST_F(MultiProcess, OwnerDeathHandsTheMutexToTheNextWaiter) {
  StartServer();
  const std::string ready = PathInFolder("locked");
  Peer holder({"lock-and-die", ready, "300"});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  // This call waits on the mutex until the holder dies, then goes on.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CACHE_OK, PutConfigurationData(-1, 1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(7, holder.Wait());
  // And the mutex keeps working for every process afterwards.
  EXPECT_EQ(0, RunPeer({"client-expect-config", "1", "1"}));
  Peer second({"lock-and-die", ready + "2", "0"});
  EXPECT_EQ(7, second.Wait());
  EXPECT_EQ(CACHE_OK, PutConfigurationData(-1, 2));
  EXPECT_EQ(0, RunPeer({"client-expect-config", "1", "2"}));
}

TEST_F(MultiProcess, ProcessWithoutStartUpWaitsForTheMutexLikeEveryOther) {
  StartServer();
  ASSERT_EQ(CACHE_OK, PutConfigurationData(0, 1));
  const std::string held = PathInFolder("held"), release = PathInFolder("release");
  Peer holder({"hold-until", held, release});
  ASSERT_TRUE(tq5test::WaitForFile(held));
  const std::string calling = PathInFolder("calling");
  Peer bare({"bare-put-config", calling, "0", "2"});
  ASSERT_TRUE(tq5test::WaitForFile(calling));
  // The call of the process that never started up must wait for the holder.
  tq5test::SleepMs(300);
  {
    tq5test::RawRegion raw;
    ASSERT_TRUE(raw.mapped());
    EXPECT_EQ(1, raw.header().configValue);
  }
  tq5test::WriteFileBytes(release, "go");
  EXPECT_EQ(0, holder.Wait());
  EXPECT_EQ(0, bare.Wait());
  int32_t config = 0;
  ASSERT_EQ(CACHE_OK, GetConfigurationData(nullptr, &config));
  EXPECT_EQ(2, config);
}

TEST_F(MultiProcess, OwnerDeathMidChangeIsRepairedBeforeTheNextCallGoesOn) {
  StartServer();
  RoleEntry roles[2] = {};
  for (int i = 0; i < 2; ++i) {
    roles[i].inUse = roles[i].listed = 1;
    std::snprintf(roles[i].name, sizeof roles[i].name, "R%d", i);
  }
  ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(2, roles));

  // A holder that dies having changed nothing: the repair leaves every byte alone.
  const std::string before = [] {
    tq5test::RawRegion raw;
    return std::string(reinterpret_cast<const char*>(&raw.header()), 1351712);
  }();
  Peer idle({"lock-and-die", PathInFolder("idle"), "0"});
  EXPECT_EQ(7, idle.Wait());
  EXPECT_EQ(CACHE_OK, PutConfigurationData(-1, -1));
  {
    tq5test::RawRegion raw;
    EXPECT_EQ(before, std::string(reinterpret_cast<const char*>(&raw.header()), 1351712));
  }

  Peer damager({"damage-and-die", PathInFolder("damaged")});
  EXPECT_EQ(7, damager.Wait());
  int32_t high = 0, active = 0, userHigh = 0, userActive = -1;
  EXPECT_EQ(CACHE_OK, ClientGetRoleProperties(nullptr, &high, &active));
  EXPECT_EQ(CACHE_OK, GetUserProperties(nullptr, &userHigh, &userActive));
  EXPECT_EQ(2, high);
  EXPECT_EQ(2, active);
  EXPECT_EQ(1024, userHigh);
  EXPECT_EQ(0, userActive);
  RoleEntry listed[2];
  int32_t count = 2;
  ASSERT_EQ(CACHE_OK, GetAllRolesCacheDataSharedMemory(&count, listed));
  EXPECT_EQ(0, listed[0].userRefs);
  EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
}

TEST_F(MultiProcess, SecondServerIsRefusedWhileTheFirstLivesAndALeftoverNeverBlocks) {
  const std::string ready = PathInFolder("ready"), stop = PathInFolder("stop");
  Peer first({"serve", ready, stop});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  ASSERT_EQ(CACHE_OK, ClientPutConfigurationData(-1, 4242));
  CacheHeader header{};
  header.roleCapacity = header.userCapacity = 2;
  header.configValue = 17;
  tq5test::WriteFileBytes(CacheFilePath(), tq5test::RegionImage(header));

  EXPECT_EQ(CACHE_E_REGION_EXISTS, InitializeCacheDataSharedMemory());
  // The live server's region and the file are as they were.
  int32_t config = 0, roles = 0;
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(CACHE_OK, ClientGetRoleProperties(&roles, nullptr, nullptr));
  EXPECT_EQ(4242, config);
  EXPECT_EQ(1024, roles);
  EXPECT_EQ(tq5test::RegionImage(header), tq5test::ReadFileBytes(CacheFilePath()));
  tq5test::WriteFileBytes(stop, "stop");
  ASSERT_EQ(0, first.Wait());

  // A server killed without shutting down leaves no obstacle behind.
  Peer crashed({"serve", ready + "2", stop + "2"});
  ASSERT_TRUE(tq5test::WaitForFile(ready + "2"));
  crashed.Kill();
  crashed.Wait();
  EXPECT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
  EXPECT_EQ(CACHE_OK, GetConfigurationData(nullptr, &config));
  EXPECT_EQ(4242, config);  // from the file the first server wrote at its stop
}

#ifndef _WIN32
// A clean-up of an account's objects can remove the region's name under its server;
// a second server must still be refused while the first one lives.
TEST_F(MultiProcess, SecondServerIsRefusedEvenWhenTheRegionsNameWasRemoved) {
  const std::string ready = PathInFolder("ready"), stop = PathInFolder("stop");
  Peer first({"serve", ready, stop});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  ASSERT_EQ(0, shm_unlink(("/" + prefix_ + "ZOLMAR_ORVCACHE").c_str()));
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  EXPECT_EQ(CACHE_E_REGION_EXISTS, InitializeCacheDataSharedMemory());
  tq5test::WriteFileBytes(stop, "stop");
  ASSERT_EQ(0, first.Wait());
  EXPECT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());  // once it has gone
}

// Any account that may write the objects may also shrink them under every process's
// mapping; the calls then answer a code, and no process of the cache crashes.
TEST_F(MultiProcess, ShrunkObjectsAreRefusedAndCrashNobody) {
  const auto shrink = [this](const char* baseName) {
    const int fd = shm_open(("/" + prefix_ + baseName).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0) << baseName;
    EXPECT_EQ(0, ftruncate(fd, 0));
    close(fd);
  };
  StartServer();
  const std::string ready = PathInFolder("ready"), stop = PathInFolder("stop");
  Peer client({"client-poll", ready, stop});  // keeps its view between calls
  ASSERT_TRUE(tq5test::WaitForFile(ready));

  shrink("ZOLMAR_ORVCACHE_STATS");
  EXPECT_EQ(CACHE_OK, ClientPutConfigurationData(-1, 8));  // uncounted, and nothing else lost
  shrink("ZOLMAR_ORVCACHE_INDEX");  // found by a scan instead
  EXPECT_EQ(CACHE_E_USER_NOT_CACHED, ClientDeleteUserCacheDataSharedMemory("CORP", "nobody"));
  shrink("ZOLMAR_ORVCACHE");
  int32_t config = 0;
  EXPECT_EQ(CACHE_E_MAP_VIEW, GetConfigurationData(nullptr, &config));
  EXPECT_EQ(CACHE_E_MAP_VIEW, ClientGetConfigurationData(nullptr, &config));
  tq5test::SleepMs(100);  // the client's calls meet the shrunk region too
  tq5test::WriteFileBytes(stop, "stop");
  EXPECT_EQ(0, client.Wait());

  // The mutex's bytes, kept to be put back so that this process can shut down after.
  const std::string mutexPath = "/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE_MUTEX";
  const std::string mutexBytes = tq5test::ReadFileBytes(mutexPath);
  shrink("ZOLMAR_ORVCACHE_MUTEX");
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, PutConfigurationData(-1, 9));
  EXPECT_EQ(-CACHE_E_MUTEX_OPEN, RunPeer({"client-put-config", "-1", "9"}));
  const int fd = shm_open(("/" + prefix_ + "ZOLMAR_ORVCACHE_MUTEX").c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(static_cast<ssize_t>(mutexBytes.size()),
            pwrite(fd, mutexBytes.data(), mutexBytes.size(), 0));
  close(fd);
  EXPECT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
}
#endif

TEST_F(MultiProcess, ClientsAlwaysSeeTheCurrentRegionAcrossServerRestarts) {
  // Each generation of the server runs with capacities of its own, from a cache file.
  const int32_t roleCapacities[] = {4, 1024, 8, 2};
  const std::set<int32_t> valid(std::begin(roleCapacities), std::end(roleCapacities));
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());  // the mutex outlives the servers

  // Meanwhile another thread of this client keeps asking; every answer is either
  // "no region" or the capacity of some server generation, never anything else.
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, answered{0};
  std::thread watcher([&] {
    while (!stop) {
      int32_t capacity = -1;
      const ResultCode rc = ClientGetRoleProperties(&capacity, nullptr, nullptr);
      if (rc == CACHE_OK ? valid.count(capacity) == 0 : rc != CACHE_E_OPEN_MAPPING) ++wrong;
      ++answered;
    }
  });

  int generation = 0;
  for (const int32_t roles : roleCapacities) {
    CacheHeader header{};
    header.roleCapacity = roles;
    header.userCapacity = roles / 2;
    header.configValue = 100 + generation;
    tq5test::WriteFileBytes(CacheFilePath(), tq5test::RegionImage(header));

    const std::string tag = std::to_string(generation++);
    Peer server({"serve", PathInFolder("ready" + tag), PathInFolder("stop" + tag)});
    ASSERT_TRUE(tq5test::WaitForFile(PathInFolder("ready" + tag)));
    int32_t capacity = 0, users = 0, config = 0;
    EXPECT_EQ(CACHE_OK, ClientGetRoleProperties(&capacity, nullptr, nullptr));
    EXPECT_EQ(CACHE_OK, ClientGetUserProperties(&users, nullptr, nullptr));
    EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(nullptr, &config));
    EXPECT_EQ(roles, capacity);
    EXPECT_EQ(roles / 2, users);
    EXPECT_EQ(header.configValue, config);
    tq5test::WriteFileBytes(PathInFolder("stop" + tag), "stop");
    ASSERT_EQ(0, server.Wait());
    EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetRoleProperties(&capacity, nullptr, nullptr));
  }
  stop = true;
  watcher.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(answered.load(), 0);
#ifndef _WIN32
  // The views of the replaced regions were let go: at most one mapping and its descriptor
  // remain, not one of each per server generation.
  EXPECT_LE(HeldByThisProcess("/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE"), 2);
#endif
}

}  // namespace
