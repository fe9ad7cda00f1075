// The machine's statistics: what the exports count, seen alike from a second process,
// zeroed on request, and following the server across a restart.
#include "region/statistics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using tq5::region::Counter;

constexpr int32_t kTimeout = 20000;

RoleEntry Role(const char* name) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "%s", name);
  std::snprintf(role.id, sizeof role.id, "ID-%s", name);
  return role;
}

ResultCode Find(const char* user) {
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
  return ClientFindUserRoles("CORP", user, &count, roles, kTimeout);
}

tq5::region::StatisticsBlock Read() {
  tq5::region::StatisticsBlock block{};
  EXPECT_TRUE(tq5::region::ReadStatistics(&block));
  return block;
}

uint64_t Of(const tq5::region::StatisticsBlock& block, Counter counter) {
  return block.counters[static_cast<uint32_t>(counter)];
}

class Statistics : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    directory_ = PathInFolder("directory.txt");
    tq5test::WriteFileBytes(directory_, "CORP\talice\tR1\tID-R1\nCORP\tbob\t@fail\n");
    tq5test::UseDirectoryFile(directory_);
  }

  void Start() {
    StartServer();
    const RoleEntry roles[] = {Role("R1"), Role("R2")};
    ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(2, roles));
  }

  // Expects these counters (the others untouched at zero) in this process and in another.
  void Expect(const std::vector<std::pair<Counter, uint64_t>>& expected) {
    std::vector<uint64_t> want(tq5::region::kCounterCount, 0);
    for (const auto& [counter, value] : expected) want[static_cast<uint32_t>(counter)] = value;
    const tq5::region::StatisticsBlock block = Read();
    std::vector<std::string> args = {"statistics-expect"};
    for (uint32_t i = 0; i < tq5::region::kCounterCount; ++i) {
      EXPECT_EQ(want[i], block.counters[i]) << "counter " << i;
      args.push_back(std::to_string(want[i]));
    }
    EXPECT_EQ(0, tq5test::RunPeer(args));
  }

  // A miss that fetches, a hit (through the index) and a failed fetch, each counted once.
  void LookUpAndExpectEachCountedOnce() {
    ASSERT_EQ(CACHE_OK, Find("alice"));
    ASSERT_EQ(CACHE_OK, Find("alice"));
    EXPECT_EQ(CACHE_E_USER_FETCH_CALL, Find("bob"));
    Expect({{Counter::Lookups, 3},
            {Counter::Hits, 1},
            {Counter::Misses, 2},
            {Counter::FetchesSucceeded, 1},
            {Counter::FetchesFailed, 1},
            {Counter::IndexHits, 1}});
  }

  std::string directory_;
};

TEST_F(Statistics, EachExportCountsOnceAndEveryProcessSeesTheSameCounts) {
  Start();
  Expect({});
  LookUpAndExpectEachCountedOnce();

  ASSERT_EQ(CACHE_OK, ClientRefreshUserRoles("CORP", "alice"));
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  ASSERT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "alice"));
  EXPECT_EQ(CACHE_E_USER_NOT_CACHED, ClientDeleteUserCacheDataSharedMemory("CORP", "alice"));
  const auto block = Read();
  EXPECT_EQ(1u, Of(block, Counter::Commits));
  EXPECT_EQ(1u, Of(block, Counter::Deletes));
  EXPECT_EQ(1u, Of(block, Counter::FileWrites));
  EXPECT_EQ(0u, Of(block, Counter::FileWriteFailures));
  EXPECT_GE(block.lastGoodFileWrite, static_cast<int64_t>(std::time(nullptr)) - 60);

  // Another process's lookup lands in the same counters.
  const std::string done = PathInFolder("peer.done");
  EXPECT_EQ(0, tq5test::RunPeer({"lookup-expect", done, "CORP", "alice", "R1"}));
  EXPECT_EQ(4u, Of(Read(), Counter::Lookups));
  EXPECT_EQ(2u, Of(Read(), Counter::FetchesSucceeded));

  tq5::region::StatisticsBlock before{};
  ASSERT_TRUE(tq5::region::ResetCounters(&before));
  EXPECT_EQ(4u, Of(before, Counter::Lookups));
  Expect({});
  EXPECT_EQ(0, Read().lastGoodFileWrite);
}

// A miss that lets the mutex go for its fetch looks the user up twice: it still counts as
// one lookup and one miss.
TEST_F(Statistics, AMissFetchedOutsideTheMutexCountsOnce) {
  struct OutsideTheMutex {
    OutsideTheMutex() { tq5test::SetEnv("TQ5ORVCACHE_FETCH_OUTSIDE_LOCK", "yes"); }
    ~OutsideTheMutex() { tq5test::SetEnv("TQ5ORVCACHE_FETCH_OUTSIDE_LOCK", nullptr); }
  } outside;
  Start();
  LookUpAndExpectEachCountedOnce();
}

TEST_F(Statistics, TheServersObjectGoesWithItsRegionAndANewServerIsFollowed) {
  Start();
  ASSERT_EQ(CACHE_OK, Find("alice"));
  const RoleEntry roles[] = {Role("R1"), Role("R2")};
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(2, roles));
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
  auto block = Read();
  EXPECT_GT(block.lastMerge.endedAt, 0);
  EXPECT_EQ(CACHE_OK, block.lastMerge.result);
  EXPECT_GT(block.lastSweep.endedAt, 0);
  EXPECT_EQ(1u, Of(block, Counter::UsersRefreshed));

  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
#ifndef _WIN32
  // Where names outlive their handles the server removes the name with the region.
  const std::string name = "/" + prefix_ + "ZOLMAR_ORVCACHE_STATS";
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  EXPECT_LT(fd, 0) << name << " outlived its server";
  if (fd >= 0) close(fd);
#endif

  // This process kept a view of the old object: its counts must reach the new one.
  ASSERT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
  ASSERT_EQ(CACHE_OK, Find("alice"));
  block = Read();
  EXPECT_EQ(1u, Of(block, Counter::Lookups));
  EXPECT_EQ(1u, Of(block, Counter::Hits));  // the cache file brought alice back
  EXPECT_EQ(0, block.lastSweep.endedAt);
  // Found through the index the start-up built from the cache file.
  EXPECT_EQ(1u, Of(block, Counter::IndexHits));
  EXPECT_EQ(0, tq5test::RunPeer({"statistics-expect", "1", "1", "0", "0", "0", "0", "0", "0", "0",
                                 "0", "0", "0", "0", "0", "1", "0", "0"}));
}

}  // namespace
