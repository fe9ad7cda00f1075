// The user cache shared by three processes: this one serves (merges role lists that drop
// and re-add roles, sweeps, switches automatic commits on and off) while two client peers
// look users up, delete them and commit their roles, and the directory keeps changing.
// Afterwards the region's bookkeeping must add up.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr int kUsers = 8;          // u0..u7 of CORP
constexpr int kUserCapacity = 7;   // one short, so that a full table gets emptied now and then
constexpr int kRoleCapacity = 32;  // every role fits; a freed slot goes to the next new role
constexpr int kPoolRoles = 3;      // P<user>_0..2 belong to one user each
constexpr int kSharedRoles = 3;    // S0..S2 may go to anyone
#ifdef _WIN32
constexpr int kPeerIterations = 40;  // a fetch there is a call into another process
#else
constexpr int kPeerIterations = 150;
#endif
constexpr int32_t kTimeoutMs = 20000;

RoleEntry Role(const std::string& name) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "%s", name.c_str());
  std::snprintf(role.id, sizeof role.id, "ID-%s", name.c_str());
  return role;
}

std::vector<std::string> PoolOf(int user) {
  std::vector<std::string> names;
  for (int k = 0; k < kPoolRoles; ++k) {
    names.push_back("P" + std::to_string(user) + "_" + std::to_string(k));
  }
  for (int k = 0; k < kSharedRoles; ++k) names.push_back("S" + std::to_string(k));
  return names;
}

std::vector<RoleEntry> AllRoles() {
  std::vector<RoleEntry> roles;
  for (int u = 0; u < kUsers; ++u) {
    for (int k = 0; k < kPoolRoles; ++k) roles.push_back(Role(PoolOf(u)[k]));
  }
  for (int k = 0; k < kSharedRoles; ++k) roles.push_back(Role("S" + std::to_string(k)));
  return roles;
}

// Replaces the file whole, so that no fetch ever reads half of it. Windows refuses the
// replacement while a reader has the file open; the reader is quick, so try again.
void ReplaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  tq5test::WriteFileBytes(temporary, text);
  for (int attempt = 0; attempt < 2000; ++attempt) {
#ifdef _WIN32
    if (MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return;
#else
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return;
#endif
    tq5test::SleepMs(1);
  }
  ADD_FAILURE() << "cannot replace " << path;
}

// Each user gets a random part of its pool, or no roles, or a failing directory call.
std::string RandomDirectory(std::mt19937& random) {
  std::string text;
  for (int u = 0; u < kUsers; ++u) {
    const std::string user = "CORP\tu" + std::to_string(u);
    const unsigned kind = random() % 10;
    if (kind == 0) {
      text += user + "\t@fail\n";
      continue;
    }
    text += user + "\n";
    if (kind == 1) continue;
    for (const std::string& role : PoolOf(u)) {
      if (random() % 2) text += user + "\t" + role + "\tID-" + role + "\n";
    }
  }
  return text;
}

// The complete role list with about half of the roles left out, in random order.
std::vector<RoleEntry> RandomRoleList(std::mt19937& random) {
  std::vector<RoleEntry> roles;
  for (const RoleEntry& role : AllRoles()) {
    if (random() % 2) roles.push_back(role);
  }
  std::shuffle(roles.begin(), roles.end(), random);
  return roles;
}

class UserCacheProcesses : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    directory_ = PathInFolder("directory.txt");
    tq5test::WriteFileBytes(directory_, "");
    tq5test::UseDirectoryFile(directory_);
  }

  // A server on a region of the small capacities, holding every role.
  void Start() {
    CacheHeader header{};
    header.roleCapacity = kRoleCapacity;
    header.userCapacity = kUserCapacity;
    header.autoCommitRoles = 1;
    tq5test::WriteFileBytes(CacheFilePath(), tq5test::RegionImage(header));
    StartServer();
    const std::vector<RoleEntry> roles = AllRoles();
    ASSERT_EQ(CACHE_OK,
              PutAllRolesCacheDataSharedMemory(static_cast<int32_t>(roles.size()), roles.data()));
  }

  // One round of the server: a new role list, and now and then a new directory, a sweep,
  // a change of the commit mode or a user made old enough to expire, so that every order
  // of them occurs. The pause lets the clients see each state.
  void ServeOnce(std::mt19937& random) {
    if (random() % 2) ReplaceFile(directory_, RandomDirectory(random));
    const std::vector<RoleEntry> list = RandomRoleList(random);
    EXPECT_EQ(CACHE_OK,
              UpdateAllRolesCacheDataSharedMemory(static_cast<int32_t>(list.size()), list.data()));
    if (random() % 6 == 0) {
      EXPECT_EQ(CACHE_OK, PutConfigurationData(random() % 3 == 0, -1));
    }
    if (random() % 10 == 0) {
      const std::string user = "u" + std::to_string(random() % kUsers);
      const ResultCode rc = ClientUpdateOneUserLastAccessTime(0, "CORP", user.c_str());
      EXPECT_TRUE(rc == CACHE_OK || rc == CACHE_E_USER_NOT_CACHED) << rc;
    }
    if (random() % 3 == 0) {
      const ResultCode rc = UpdateAllCurUserRoles(kTimeoutMs);
      // The last refresh decides: a failing directory call, or a user deleted meanwhile.
      EXPECT_TRUE(rc == CACHE_OK || rc == CACHE_E_USER_FETCH_CALL || rc == CACHE_E_USER_NOT_CACHED)
          << rc;
    }
    tq5test::SleepMs(3);
  }

  std::string directory_;
};

TEST_F(UserCacheProcesses, ReferencesAddUpAfterServerAndClientsRace) {
  Start();
  std::mt19937 random(20240611);
  // The first fetch may have to start the directory service; give it time once.
  ReplaceFile(directory_, "CORP\tu0\n");
  int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
  std::vector<RoleNameId> found(count);
  ASSERT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "u0", &count, found.data(), 120000));
  ReplaceFile(directory_, RandomDirectory(random));

  std::atomic<bool> clientsDone{false};
  int rounds = 0;
  std::thread server([&] {
    for (; !clientsDone; ++rounds) ServeOnce(random);
  });
  const std::string iterations = std::to_string(kPeerIterations);
  const std::string users = std::to_string(kUsers), timeout = std::to_string(kTimeoutMs);
  tq5test::Peer first({"user-churn", "1", iterations, users, timeout});
  tq5test::Peer second({"user-churn", "2", iterations, users, timeout});
  EXPECT_EQ(0, first.Wait());
  EXPECT_EQ(0, second.Wait());
  clientsDone = true;
  server.join();
  EXPECT_GE(rounds, 2);
  // Roles leave the list once more, after the clients' last commits: what the users'
  // sets name afterwards must still add up.
  const std::vector<RoleEntry> last = RandomRoleList(random);
  ASSERT_EQ(CACHE_OK,
            UpdateAllRolesCacheDataSharedMemory(static_cast<int32_t>(last.size()), last.data()));

  std::vector<RoleEntry> roles(kRoleCapacity);
  int32_t roleCount = kRoleCapacity;
  ASSERT_EQ(CACHE_OK, GetAllRolesCacheDataSharedMemory(&roleCount, roles.data()));
  roles.resize(roleCount);
  std::vector<UserEntry> cached(kUserCapacity);
  int32_t userCount = kUserCapacity;
  ASSERT_EQ(CACHE_OK, ClientGetAllUsersCacheDataSharedMemory(&userCount, cached.data()));
  cached.resize(userCount);
  int32_t capacity = 0, highWater = 0, roleActive = 0, userActive = 0;
  ASSERT_EQ(CACHE_OK, GetRoleProperties(&capacity, &highWater, &roleActive));
  ASSERT_EQ(CACHE_OK, GetUserProperties(&capacity, &highWater, &userActive));
  EXPECT_EQ(roleCount, roleActive);
  EXPECT_EQ(userCount, userActive);

  std::map<int32_t, const RoleEntry*> bySlot;
  for (const RoleEntry& role : roles) bySlot[role.slot] = &role;
  std::map<int32_t, int32_t> held;
  // Both sets name only roles in use that the directory may give the user: a slot left
  // behind by a freed role would hand out whichever role takes the slot next.
  const auto checkSet = [&](const UserEntry& user, int32_t size, const int32_t* slots) {
    const std::vector<std::string> pool = PoolOf(std::atoi(user.userName + 1));
    for (int32_t i = 0; i < size; ++i) {
      const auto role = bySlot.find(slots[i]);
      ASSERT_NE(bySlot.end(), role) << user.userName << " names free role slot " << slots[i];
      EXPECT_NE(pool.end(), std::find(pool.begin(), pool.end(), role->second->name))
          << user.userName << " names " << role->second->name;
    }
  };
  for (const UserEntry& user : cached) {
    for (int32_t i = 0; i < user.roleCount; ++i) ++held[user.roleSlots[i]];
    checkSet(user, user.roleCount, user.roleSlots);
    checkSet(user, user.currentRoleCount, user.currentRoleSlots);
  }
  for (const RoleEntry& role : roles) {
    EXPECT_EQ(held[role.slot], role.userRefs) << role.name << " at slot " << role.slot;
    EXPECT_TRUE(role.listed == 1 || role.userRefs > 0) << role.name << " kept for nobody";
  }
}

// The sequence behind a wrong answer that the race above can produce: a role leaves the
// list while a pending current set names it, and its slot goes to another role before
// a client commits that set.
TEST_F(UserCacheProcesses, ACommitNeverHandsOutARoleThatTookAFreedSlot) {
  StartServer();
  const std::vector<RoleEntry> abc = {Role("A"), Role("B"), Role("C")};
  ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(3, abc.data()));
  ASSERT_EQ(CACHE_OK, PutConfigurationData(0, -1));
  ReplaceFile(directory_, "CORP\tu\tA\tID-A\n");
  int32_t count = 4;
  RoleNameId roles[4];
  ASSERT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "u", &count, roles, kTimeoutMs));
  ReplaceFile(directory_, "CORP\tu\tB\tID-B\n");
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeoutMs));  // pending: {B}

  const std::vector<RoleEntry> ac = {Role("A"), Role("C")}, acd = {Role("A"), Role("C"), Role("D")};
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(2, ac.data()));  // frees B
  count = 4;
  EXPECT_EQ(CACHE_OK, ClientFindUserCurrentRoles("CORP", "u", &count, roles));
  EXPECT_EQ(0, count);
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(3, acd.data()));  // D in B's slot
  ASSERT_EQ(CACHE_OK, ClientRefreshUserRoles("CORP", "u"));
  count = 4;
  EXPECT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "u", &count, roles, kTimeoutMs));
  EXPECT_EQ(0, count);
}

}  // namespace
