// The opt-in mode in which a lookup miss lets the global cache mutex go while the
// directory answers: other processes' calls go on meanwhile, and two processes that miss
// the same user still leave one entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

using tq5test::Peer;

constexpr const char* kModeVariable = "TQ5ORVCACHE_FETCH_OUTSIDE_LOCK";

RoleEntry Role(const char* name, const char* id) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "%s", name);
  std::snprintf(role.id, sizeof role.id, "%s", id);
  return role;
}

class FetchOutsideLock : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    tq5test::SetEnv(kModeVariable, "yes");  // peers inherit it
    directory_ = PathInFolder("directory.txt");
    Directory("");
    tq5test::UseDirectoryFile(directory_);
    StartServer();
    const RoleEntry roles[] = {Role("R1", "ID1"), Role("R2", "ID2")};
    ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(2, roles));
  }
  void TearDown() override {
    tq5test::SetEnv(kModeVariable, nullptr);
    CacheTest::TearDown();
  }

  // Replaced whole, so that a fetch never reads half a file.
  void Directory(const std::string& text) {
    tq5test::WriteFileBytes(directory_ + ".new", text);
    std::remove(directory_.c_str());
    std::rename((directory_ + ".new").c_str(), directory_.c_str());
  }

  std::vector<std::string> Find(const char* user) {
    RoleNameId roles[8];
    int32_t count = 8;
    std::vector<std::string> names;
    EXPECT_EQ(CACHE_OK, ClientFindUserRoles("CORP", user, &count, roles, 20000));
    for (int32_t i = 0; i < count; ++i) names.push_back(roles[i].name);
    return names;
  }

  // Cached users, and each role's references.
  int32_t CachedUsers() {
    UserEntry users[8];
    int32_t count = 8;
    EXPECT_EQ(CACHE_OK, ClientGetAllUsersCacheDataSharedMemory(&count, users));
    return count;
  }
  std::map<std::string, int32_t> References() {
    RoleEntry roles[8];
    int32_t count = 8;
    EXPECT_EQ(CACHE_OK, GetAllRolesCacheDataSharedMemory(&count, roles));
    std::map<std::string, int32_t> refs;
    for (int32_t i = 0; i < count; ++i) refs[roles[i].name] = roles[i].userRefs;
    return refs;
  }

  std::string directory_;
};

TEST_F(FetchOutsideLock, SlowMissesHoldNobodyUpAndOneUserGetsOneEntry) {
  Directory("CORP\tfast\tR1\tID1\n");
  ASSERT_EQ(std::vector<std::string>{"R1"}, Find("fast"));
  Directory("CORP\tslow\tR1\tID1\nCORP\tslow\tR2\tID2\nCORP\tslow\t@delay\t2500\n");
  const std::string doneA = PathInFolder("a"), doneB = PathInFolder("b");
  Peer a({"lookup-expect", doneA, "CORP", "slow", "R1", "R2"});
  Peer b({"lookup-expect", doneB, "CORP", "slow", "R1", "R2"});
  tq5test::SleepMs(800);  // both are waiting for the directory now

  // A hit and a header call are answered while both misses wait.
  EXPECT_EQ(std::vector<std::string>{"R1"}, Find("fast"));
  EXPECT_EQ(CACHE_OK, ClientPutConfigurationData(-1, 77));
  EXPECT_FALSE(tq5test::FileExists(doneA));
  EXPECT_FALSE(tq5test::FileExists(doneB));

  EXPECT_EQ(0, a.Wait());
  EXPECT_EQ(0, b.Wait());
  EXPECT_EQ(2, CachedUsers());
  EXPECT_EQ((std::map<std::string, int32_t>{{"R1", 2}, {"R2", 1}}), References());
}

TEST_F(FetchOutsideLock, AMissWhoseUserWasStoredMeanwhileAnswersFromThatEntry) {
  Directory("CORP\tslow\tR1\tID1\nCORP\tslow\t@delay\t2500\n");
  const std::string done = PathInFolder("done");
  // The peer's fetch answers R1, but by then this process has stored the user with R2.
  Peer peer({"lookup-expect", done, "CORP", "slow", "R2"});
  tq5test::SleepMs(800);
  Directory("CORP\tslow\tR2\tID2\n");
  EXPECT_EQ(std::vector<std::string>{"R2"}, Find("slow"));
  EXPECT_EQ(0, peer.Wait());
  EXPECT_EQ(1, CachedUsers());
  EXPECT_EQ((std::map<std::string, int32_t>{{"R1", 0}, {"R2", 1}}), References());
}

}  // namespace
