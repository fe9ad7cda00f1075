// The user index beside the region: lookups stay right whatever the index holds (a table
// changed by a process that does not keep it, an index scribbled over or gone, users
// named twice in a hand-made cache file), `check` sees what disagrees and the repair
// mends it; and the failed answers it keeps when negative-cache-seconds is set.
#include "region/user_index.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "region/call_patterns.h"
#include "region/region_check.h"
#include "region/statistics.h"
#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"
#include "users/user_refresh.h"

namespace {

using tq5::region::Counter;

constexpr int32_t kTimeout = 20000;

RoleEntry Role(int i) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "R%d", i);
  std::snprintf(role.id, sizeof role.id, "ID%d", i);
  return role;
}

// The role names answered for the user, or the failure's code as "rc=N".
std::string Find(const char* user) {
  RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
  int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
  const ResultCode rc = ClientFindUserRoles("CORP", user, &count, roles, kTimeout);
  if (rc != CACHE_OK) return "rc=" + std::to_string(rc);
  std::string names;
  for (int32_t i = 0; i < count; ++i)
    names += std::string(names.empty() ? "" : ",") + roles[i].name;
  return names;
}

uint64_t Counted(Counter counter) {
  tq5::region::StatisticsBlock block{};
  EXPECT_TRUE(tq5::region::ReadStatistics(&block));
  return block.counters[static_cast<uint32_t>(counter)];
}

// What `orvcache check` reports of the index, mended with `repair`.
std::vector<std::string> IndexFindings(bool repair = false) {
  const tq5::region::ClientCall call;
  tq5::region::RegionFindings findings;
  EXPECT_EQ(CACHE_OK, call.status());
  tq5::region::CheckUserIndex(call.region(), repair, &findings);
  return findings.lines;
}

// Runs `damage` on the index object's bytes under the global cache mutex.
template <typename Damage>
void DamageIndex(Damage damage) {
  const tq5::region::CacheLock lock;
  ASSERT_EQ(CACHE_OK, lock.status());
  std::size_t size = 0;
  void* view = tq5::platform::SideObjectView(tq5::region::HeldCacheMutex(),
                                             tq5::platform::SideObjectKind::Index, 64, &size);
  ASSERT_NE(nullptr, view);
  damage(static_cast<uint8_t*>(view), size);
}

class UserIndexTest : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    directory_ = PathInFolder("directory.txt");
    WriteDirectory("CORP\talice\tR1\tID1\nCORP\tbob\tR2\tID2\nCORP\tcarol\tR3\tID3\n");
    tq5test::UseDirectoryFile(directory_);
  }

  void WriteDirectory(const std::string& text) { tq5test::WriteFileBytes(directory_, text); }

  void Start() {
    StartServer();
    std::vector<RoleEntry> roles;
    for (int i = 0; i < 4; ++i) roles.push_back(Role(i));
    ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(4, roles.data()));
  }

  std::string directory_;
};

// Another build stores and deletes users through the mapping alone: the index still
// names alice at slot 0, which now holds dave. Every answer stays the table's.
TEST_F(UserIndexTest, LookupsStayRightWhenTheTableChangesBehindTheIndex) {
  Start();
  ASSERT_EQ("R1", Find("alice"));
  ASSERT_EQ("R2", Find("bob"));
  {
    tq5test::RawRegion raw;
    ASSERT_TRUE(raw.mapped());
    UserEntry& slot0 = raw.user(0);  // alice, freed and taken by dave
    ASSERT_STREQ("alice", slot0.userName);
    std::snprintf(slot0.userName, sizeof slot0.userName, "dave");
    slot0.roleSlots[0] = 0;          // R0, unreferenced: no reference counts to mind here
    UserEntry& slot1 = raw.user(1);  // bob, deleted
    slot1.inUse = 0;
    slot1.roleCount = slot1.currentRoleCount = 0;
    --raw.header().userActiveCount;
  }
  EXPECT_EQ("R0", Find("DAVE"));  // not in the index: the scan finds it
  EXPECT_EQ(1u, Counted(Counter::IndexMisses));
  EXPECT_EQ("R1", Find("alice"));  // its bucket names dave's slot: fetched again
  EXPECT_EQ("R2", Find("bob"));
  EXPECT_EQ(4u, Counted(Counter::FetchesSucceeded));
  EXPECT_EQ("R0", Find("dave"));
  EXPECT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("corp", "Dave"));
  EXPECT_EQ("rc=" + std::to_string(CACHE_E_USER_FETCH_CALL), Find("dave"));
  EXPECT_EQ(std::vector<std::string>{}, IndexFindings());
}

// An index scribbled over, then one whose header is gone: lookups, stores and deletes
// answer as the table says; check names the damage and the repair rebuilds it.
TEST_F(UserIndexTest, ADamagedOrMissingIndexCostsAScanNeverAnAnswer) {
  Start();
  ASSERT_EQ("R1", Find("alice"));
  ASSERT_EQ("R2", Find("bob"));
  DamageIndex([](uint8_t* bytes, std::size_t size) {
    std::mt19937 random(11);
    for (std::size_t i = 64; i < size; ++i) bytes[i] = static_cast<uint8_t>(random());
  });
  EXPECT_FALSE(IndexFindings().empty());
  EXPECT_EQ("R1", Find("alice"));
  EXPECT_EQ("R3", Find("carol"));  // stored beside the junk
  EXPECT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "bob"));
  EXPECT_EQ("R3", Find("carol"));
  EXPECT_FALSE(IndexFindings(/*repair=*/true).empty());
  EXPECT_EQ(std::vector<std::string>{}, IndexFindings());

  DamageIndex([](uint8_t* bytes, std::size_t) { std::memset(bytes, 0, 16); });
  EXPECT_EQ("R1", Find("alice"));
  EXPECT_EQ("R2", Find("bob"));  // fetched and stored without an index
  EXPECT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "carol"));
  EXPECT_EQ("R3", Find("carol"));
}

// A process that dies holding the mutex in the middle of a change to the index: the repair
// that the next taker makes builds the index again, and lookups find users through it.
TEST_F(UserIndexTest, TheRepairAfterAnOwnersDeathRebuildsTheIndex) {
  Start();
  ASSERT_EQ("R1", Find("alice"));
  ASSERT_EQ("R2", Find("bob"));
  tq5test::Peer damager({"damage-index-and-die", PathInFolder("damaged")});
  EXPECT_EQ(7, damager.Wait());
  EXPECT_EQ(std::vector<std::string>{}, IndexFindings());
  EXPECT_EQ("R2", Find("bob"));
  EXPECT_EQ(1u, Counted(Counter::IndexHits));
  EXPECT_EQ(0u, Counted(Counter::IndexMisses));
}

// A hand-made cache file that names one user twice (in two letter cases): the lookup
// answers the first slot, as the scan always did; once that one is deleted, the second.
TEST_F(UserIndexTest, AUserNamedTwiceInACacheFileAnswersItsFirstSlot) {
  std::vector<RoleEntry> roles;
  for (int i = 0; i < 4; ++i) {
    roles.push_back(Role(i));
    roles.back().slot = i;
  }
  std::vector<UserEntry> users(4);
  const char* names[] = {"alice", "Twin", "bob", "TWIN"};
  for (int32_t j = 0; j < 4; ++j) {
    UserEntry& user = users[static_cast<std::size_t>(j)];
    user.inUse = 1;
    user.slot = j;
    user.status = USER_ROLES_CURRENT;
    user.roleCount = user.currentRoleCount = 1;
    user.roleSlots[0] = user.currentRoleSlots[0] = j;
    ++roles[static_cast<std::size_t>(j)].userRefs;
    user.lastAccess = static_cast<int32_t>(std::time(nullptr));
    std::snprintf(user.domainName, sizeof user.domainName, "CORP");
    std::snprintf(user.userName, sizeof user.userName, "%s", names[j]);
  }
  const CacheHeader header{4, 4, 4, 8, 4, 4, 1, 300};
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
  bytes.append(reinterpret_cast<const char*>(roles.data()), sizeof(RoleEntry) * roles.size());
  bytes.append(reinterpret_cast<const char*>(users.data()), sizeof(UserEntry) * users.size());
  bytes.append(sizeof(UserEntry) * 4, '\0');
  tq5test::WriteFileBytes(CacheFilePath(), bytes);
  StartServer();
  EXPECT_EQ("R1", Find("twin"));
  EXPECT_EQ(1u, Counted(Counter::IndexHits));
  EXPECT_EQ(std::vector<std::string>{}, IndexFindings());
  ASSERT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "twin"));
  EXPECT_EQ("R3", Find("twin"));
  EXPECT_EQ("R0", Find("alice"));
}

// With negative-cache-seconds set, a name the directory does not know is asked once per
// period, machine-wide; delete and refresh forget it at once, and a fetch that runs out
// of time is never kept.
TEST_F(UserIndexTest, FailedAnswersAreKeptForTheirSecondsAndForgottenOnRequest) {
  tq5test::SetEnv("TQ5ORVCACHE_NEGATIVE_CACHE_SECONDS", "2");
  Start();
  tq5test::SetEnv("TQ5ORVCACHE_NEGATIVE_CACHE_SECONDS", nullptr);  // the server's value counts
  WriteDirectory("CORP\tslow\t@delay\t3000\n");
  const std::string failed = "rc=" + std::to_string(CACHE_E_USER_FETCH_CALL);
  ASSERT_EQ(failed, Find("alice"));
  ASSERT_EQ(failed, Find("bob"));
  ASSERT_EQ(failed, Find("carol"));
  WriteDirectory(
      "CORP\talice\tR1\tID1\nCORP\tbob\tR2\tID2\nCORP\tcarol\tR3\tID3\nCORP\tslow\t@delay\t3000\n");
  EXPECT_EQ(failed, Find("ALICE"));  // kept: the directory is not asked
  EXPECT_EQ(failed, Find("bob"));
  EXPECT_EQ(3u, Counted(Counter::FetchesFailed));
  EXPECT_EQ(2u, Counted(Counter::NegativeAnswers));
  {
    // Another process sees the same kept answer.
    const std::string done = PathInFolder("peer.done");
    EXPECT_NE(0, tq5test::RunPeer({"lookup-expect", done, "CORP", "carol", "R3"}));
    EXPECT_EQ(3u, Counted(Counter::NegativeAnswers));
  }

  EXPECT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "alice"));
  EXPECT_EQ("R1", Find("alice"));
  EXPECT_EQ(CACHE_E_USER_NOT_CACHED,
            tq5::users::RefreshAndCommitUserRoles("CORP", "bob", kTimeout));
  EXPECT_EQ("R2", Find("bob"));

  tq5test::SleepMs(2100);
  EXPECT_EQ("R3", Find("carol"));  // expired on time

  RoleNameId roles[4];
  int32_t count = 4;
  ASSERT_EQ(CACHE_E_FETCH_TIMEOUT, ClientFindUserRoles("CORP", "slow", &count, roles, 200));
  count = 4;
  EXPECT_EQ(CACHE_E_FETCH_TIMEOUT, ClientFindUserRoles("CORP", "slow", &count, roles, 200));
  EXPECT_EQ(2u, Counted(Counter::FetchesTimedOut));  // asked again, not answered from a kept one
}

}  // namespace
