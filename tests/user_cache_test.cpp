// The user cache through the exports: lookups with a fetch on a miss, the count
// contract, maintenance, the expiry sweep with its refresh, damaged regions, and
// lookups racing sweeps on several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr int32_t kTimeout = 20000;

RoleEntry Role(const std::string& name, const std::string& id) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "%s", name.c_str());
  std::snprintf(role.id, sizeof role.id, "%s", id.c_str());
  return role;
}

// Roles R0..R(n-1) with ids ID0..
std::vector<RoleEntry> Roles(int n, int skip = -1) {
  std::vector<RoleEntry> roles;
  for (int i = 0; i < n; ++i) {
    if (i != skip) roles.push_back(Role("R" + std::to_string(i), "ID" + std::to_string(i)));
  }
  return roles;
}

struct Found {
  ResultCode rc;
  int32_t count;
  Names names;
};

using FindFn = ResultCode (*)(const char*, const char*, int32_t*, RoleNameId*, int32_t);

Found Find(const char* user, int32_t capacity = 128, FindFn find = ClientFindUserRoles,
           int32_t timeoutMs = kTimeout, const char* domain = "CORP") {
  std::vector<RoleNameId> buffer(capacity > 0 ? capacity : 1);
  Found found{CACHE_OK, capacity, {}};
  found.rc = find(domain, user, &found.count, buffer.data(), timeoutMs);
  if (found.rc == CACHE_OK) {
    for (int32_t i = 0; i < found.count; ++i) found.names.push_back(buffer[i].name);
  }
  return found;
}

std::vector<UserEntry> CachedUsers() {
  std::vector<UserEntry> users(64);
  int32_t count = 64;
  EXPECT_EQ(CACHE_OK, ClientGetAllUsersCacheDataSharedMemory(&count, users.data()));
  users.resize(count);
  return users;
}

// "name:refs" of each in-use role, "-" after an unlisted one.
std::map<std::string, std::string> RoleRefs() {
  std::vector<RoleEntry> roles(256);
  int32_t count = 256;
  EXPECT_EQ(CACHE_OK, GetAllRolesCacheDataSharedMemory(&count, roles.data()));
  std::map<std::string, std::string> refs;
  for (int32_t i = 0; i < count; ++i) {
    refs[roles[i].name] = std::to_string(roles[i].userRefs) + (roles[i].listed ? "" : "-");
  }
  return refs;
}

std::string Marks() {
  int32_t capacity = 0, high = 0, active = 0;
  EXPECT_EQ(CACHE_OK, GetUserProperties(&capacity, &high, &active));
  return std::to_string(high) + " " + std::to_string(active);
}

int32_t Now() { return static_cast<int32_t>(std::time(nullptr)); }

class UserCache : public tq5test::CacheTest {
 protected:
  // One directory file for the whole program: the held directory object keeps the
  // source it was created with. It is read again at every fetch.
  static const std::string& DirectoryPath() {
    static const std::string path =
        (fs::temp_directory_path() /
         ("tq5-users-" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".dir"))
            .string();
    return path;
  }

  void SetUp() override {
    CacheTest::SetUp();
    Directory("");
    tq5test::UseDirectoryFile(DirectoryPath());
  }

  static void TearDownTestSuite() {
    std::error_code error;
    fs::remove(DirectoryPath(), error);
  }

  void Directory(const std::string& text) { tq5test::WriteFileBytes(DirectoryPath(), text); }

  // A server whose region has these capacities, with roles R0..R9 loaded.
  void Start(int32_t roleCapacity = 1024, int32_t userCapacity = 1024) {
    if (roleCapacity != 1024 || userCapacity != 1024) {
      CacheHeader header{};
      header.roleCapacity = roleCapacity;
      header.userCapacity = userCapacity;
      header.autoCommitRoles = 1;
      tq5test::WriteFileBytes(CacheFilePath(), tq5test::RegionImage(header));
    }
    StartServer();
    const std::vector<RoleEntry> roles = Roles(roleCapacity < 10 ? roleCapacity : 10);
    ASSERT_EQ(CACHE_OK,
              PutAllRolesCacheDataSharedMemory(static_cast<int32_t>(roles.size()), roles.data()));
  }
};

// ---- Lookups -----------------------------------------------------------------------

TEST_F(UserCache, MissFetchesAndStoresThenHitsAnswerFromTheCache) {
  Start();
  Directory("CORP\talice\tR1\tID1\nCORP\talice\tUNKNOWN\tX\nCORP\talice\tr2\tid2\n");
  const int32_t before = Now();
  Found found = Find("alice");
  ASSERT_EQ(CACHE_OK, found.rc);
  EXPECT_EQ((Names{"R1", "R2"}), found.names);  // unknown role dropped, table's spelling
  std::vector<UserEntry> users = CachedUsers();
  ASSERT_EQ(1u, users.size());
  EXPECT_EQ(USER_ROLES_CURRENT, users[0].status);
  EXPECT_EQ(2, users[0].currentRoleCount);
  EXPECT_GE(users[0].lastAccess, before);
  EXPECT_EQ("1", RoleRefs()["R1"]);

  // Another spelling of the same user is a hit: the directory is not asked again.
  Directory("CORP\talice\t@fail\n");
  found = Find("ALICE", 128, ClientFindUserRoles, kTimeout, "corp");
  EXPECT_EQ(CACHE_OK, found.rc);
  EXPECT_EQ((Names{"R1", "R2"}), found.names);
  EXPECT_EQ("1 1", Marks());

  // The same name in another domain is another user: asked of the directory, stored apart.
  Directory("CORP\talice\t@fail\nPLANT\talice\tR3\tID3\n");
  found = Find("alice", 128, ClientFindUserRoles, kTimeout, "PLANT");
  EXPECT_EQ(CACHE_OK, found.rc);
  EXPECT_EQ((Names{"R3"}), found.names);
  EXPECT_EQ("2 2", Marks());
  EXPECT_EQ((Names{"R1", "R2"}), Find("alice").names);
}

TEST_F(UserCache, BufferTooSmallReportsTheSizeAndStillStoresTheUser) {
  Start();
  Directory("CORP\tbob\tR1\tID1\nCORP\tbob\tR2\tID2\nCORP\tbob\tR3\tID3\nCORP\tcarol\n");
  Found found = Find("bob", 1);
  EXPECT_EQ(CACHE_E_BUFFER_TOO_SMALL, found.rc);
  EXPECT_EQ(3, found.count);
  Directory("");  // bob is cached now: nobody asks the directory about him again
  found = Find("bob", 0);
  EXPECT_EQ(CACHE_E_BUFFER_TOO_SMALL, found.rc);
  EXPECT_EQ(3, found.count);
  found = Find("bob", 3);
  EXPECT_EQ(CACHE_OK, found.rc);
  EXPECT_EQ((Names{"R1", "R2", "R3"}), found.names);

  Directory("CORP\tcarol\n");
  int32_t count = 0;
  EXPECT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "carol", &count, nullptr, kTimeout));
  EXPECT_EQ(0, count);
}

TEST_F(UserCache, NamesAndPointersAreCheckedBeforeAnythingElse) {
  Start();
  const std::string name63(63, 'n'), name64(64, 'n');
  int32_t count = 4;
  RoleNameId roles[4];
  EXPECT_EQ(CACHE_E_INVALID_POINTER, ClientFindUserRoles(nullptr, "u", &count, roles, 1));
  EXPECT_EQ(CACHE_E_INVALID_POINTER, ClientFindUserRolesFromAdmin("d", nullptr, &count, roles, 1));
  EXPECT_EQ(CACHE_E_INVALID_POINTER, ClientFindUserCurrentRoles("d", "u", nullptr, roles));
  EXPECT_EQ(CACHE_E_BAD_DOMAIN_NAME, ClientFindUserRoles("", "", &count, roles, 1));
  EXPECT_EQ(CACHE_E_BAD_DOMAIN_NAME, ClientFindUserRoles(name64.c_str(), "u", &count, roles, 1));
  EXPECT_EQ(CACHE_E_BAD_USER_NAME, ClientFindUserRoles("d", name64.c_str(), &count, roles, 1));
  EXPECT_EQ(CACHE_E_BAD_USER_NAME, ClientDeleteUserCacheDataSharedMemory("d", ""));
  EXPECT_EQ(CACHE_E_INVALID_POINTER, ClientRefreshUserRoles(nullptr, "u"));
  EXPECT_EQ(CACHE_E_INVALID_POINTER, ClientGetAllUsersCacheDataSharedMemory(&count, nullptr));
  EXPECT_EQ(4, count);

  Directory(name63 + "\t" + name63 + "\tR1\tID1\n");
  count = 4;
  EXPECT_EQ(CACHE_OK, ClientFindUserRoles(name63.c_str(), name63.c_str(), &count, roles, kTimeout));
  EXPECT_EQ(1, count);

  // A null buffer that claims room is refused, on a miss as on a hit, and nothing is
  // fetched or stored for it; offered as no room, it learns the size.
  Directory("CORP\tdan\tR1\tID1\n");
  count = 4;
  EXPECT_EQ(CACHE_E_INVALID_POINTER, ClientFindUserRoles("CORP", "dan", &count, nullptr, kTimeout));
  EXPECT_EQ(CACHE_E_INVALID_POINTER,
            ClientFindUserRolesFromAdmin(name63.c_str(), name63.c_str(), &count, nullptr, 1));
  EXPECT_EQ(CACHE_E_INVALID_POINTER,
            ClientFindUserCurrentRoles(name63.c_str(), name63.c_str(), &count, nullptr));
  EXPECT_EQ(4, count);
  EXPECT_EQ("1 1", Marks());
  count = 0;
  EXPECT_EQ(CACHE_E_BUFFER_TOO_SMALL,
            ClientFindUserRoles("CORP", "dan", &count, nullptr, kTimeout));
  EXPECT_EQ(1, count);
}

TEST_F(UserCache, FullLoadCarriesCachedUsersToTheirRolesNewSlots) {
  Start();
  Directory("CORP\talice\tR1\tID1\nCORP\talice\tR2\tID2\nCORP\tbob\tR2\tID2\n");
  ASSERT_EQ(CACHE_OK, Find("alice").rc);
  ASSERT_EQ(CACHE_OK, Find("bob").rc);
  // A new complete list: R2 moves to slot 0, another role takes R1's old slot, R1 is
  // gone; one role differs from R2 only in its id.
  const std::vector<RoleEntry> list = {Role("r2", "id2"), Role("NEW", "X"), Role("R2", "other"),
                                       Role("R9", "ID9")};
  ASSERT_EQ(CACHE_OK,
            PutAllRolesCacheDataSharedMemory(static_cast<int32_t>(list.size()), list.data()));
  Directory("");  // answers now come from the cache alone
  EXPECT_EQ((Names{"r2"}), Find("alice").names);
  EXPECT_EQ((Names{"r2"}), Find("bob").names);
  int32_t count = 8;
  RoleNameId current[8];
  ASSERT_EQ(CACHE_OK, ClientFindUserCurrentRoles("CORP", "alice", &count, current));
  EXPECT_EQ(1, count);
  EXPECT_EQ(
      (std::map<std::string, std::string>{{"r2", "2"}, {"NEW", "0"}, {"R2", "0"}, {"R9", "0"}}),
      RoleRefs());
}

TEST_F(UserCache, FailedFetchesStoreNothing) {
  Start();
  Directory("CORP\tslow\t@delay\t3000\nCORP\tslow\tR1\tID1\n");
  EXPECT_EQ(CACHE_E_FETCH_TIMEOUT, Find("slow", 128, ClientFindUserRoles, 200).rc);
  EXPECT_EQ(CACHE_E_USER_FETCH_CALL, Find("stranger").rc);
  EXPECT_EQ("0 0", Marks());
  Directory("CORP\tslow\tR1\tID1\n");
  EXPECT_EQ((Names{"R1"}), Find("slow").names);
}

TEST_F(UserCache, AFullTableIsEmptiedAndItsUnlistedRolesFreed) {
  Start(16, 2);
  Directory("CORP\ta\tR1\tID1\nCORP\tb\tR2\tID2\nCORP\tb\tR3\tID3\nCORP\tc\tR1\tID1\n");
  ASSERT_EQ(CACHE_OK, Find("a").rc);
  ASSERT_EQ(CACHE_OK, Find("b").rc);
  const std::vector<RoleEntry> withoutR2 = Roles(10, 2);
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(9, withoutR2.data()));
  EXPECT_EQ("1-", RoleRefs()["R2"]);  // held by b, no longer listed

  EXPECT_EQ((Names{"R1"}), Find("c").names);
  const std::vector<UserEntry> users = CachedUsers();
  ASSERT_EQ(1u, users.size());
  EXPECT_STREQ("c", users[0].userName);
  EXPECT_EQ(0, users[0].slot);
  EXPECT_EQ("2 1", Marks());
  std::map<std::string, std::string> refs = RoleRefs();
  EXPECT_EQ(0u, refs.count("R2"));  // freed with its last holder
  EXPECT_EQ("1", refs["R1"]);
  EXPECT_EQ("0", refs["R3"]);
}

TEST_F(UserCache, FreedSlotsAreReusedBeforeTheMarkGrows) {
  Start();
  Directory("CORP\ta\nCORP\tb\nCORP\tc\nCORP\td\n");
  for (const char* user : {"a", "b", "c"}) ASSERT_EQ(CACHE_OK, Find(user).rc);
  ASSERT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "b"));
  ASSERT_EQ(CACHE_OK, Find("d").rc);
  const std::vector<UserEntry> users = CachedUsers();
  ASSERT_EQ(3u, users.size());
  EXPECT_STREQ("d", users[1].userName);
  EXPECT_EQ(1, users[1].slot);
  EXPECT_EQ("3 3", Marks());
}

TEST_F(UserCache, AdminLookupsNeverRecordAnAccess) {
  Start();
  Directory("CORP\ta\tR1\tID1\nCORP\tb\n");
  ASSERT_EQ(CACHE_OK, Find("a", 128, ClientFindUserRolesFromAdmin).rc);
  EXPECT_EQ(0, CachedUsers()[0].lastAccess);  // a slot never used before
  ASSERT_EQ(CACHE_OK, ClientUpdateOneUserLastAccessTime(555, "CORP", "a"));
  ASSERT_EQ(CACHE_OK, Find("A", 128, ClientFindUserRolesFromAdmin).rc);
  EXPECT_EQ(555, CachedUsers()[0].lastAccess);
  // A miss into a reused slot keeps what the slot held.
  ASSERT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("corp", "A"));
  ASSERT_EQ(CACHE_OK, Find("b", 128, ClientFindUserRolesFromAdmin).rc);
  EXPECT_EQ(555, CachedUsers()[0].lastAccess);
  ASSERT_EQ(CACHE_OK, Find("b").rc);
  EXPECT_GE(CachedUsers()[0].lastAccess, Now() - 5);
}

// ---- Maintenance ---------------------------------------------------------------------

TEST_F(UserCache, DeleteGivesUpRolesAndFreesUnlistedOnes) {
  Start();
  Directory("CORP\ta\tR1\tID1\nCORP\ta\tR5\tID5\n");
  ASSERT_EQ(CACHE_OK, Find("a").rc);
  const std::vector<RoleEntry> withoutR5 = Roles(10, 5);
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(9, withoutR5.data()));
  EXPECT_EQ(CACHE_E_USER_NOT_CACHED, ClientDeleteUserCacheDataSharedMemory("CORP", "zed"));
  ASSERT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("corp", "A"));
  EXPECT_EQ(CACHE_E_USER_NOT_CACHED, ClientDeleteUserCacheDataSharedMemory("CORP", "a"));
  std::map<std::string, std::string> refs = RoleRefs();
  EXPECT_EQ(0u, refs.count("R5"));
  EXPECT_EQ("0", refs["R1"]);  // a listed role stays at 0 references
  EXPECT_EQ("1 0", Marks());
  // The next lookup asks the directory again; R5 was freed, so it is dropped now.
  EXPECT_EQ((Names{"R1"}), Find("a").names);
  EXPECT_EQ("1 1", Marks());
}

TEST_F(UserCache, CommitMovesReferencesFromTheOldSetToTheNew) {
  Start();
  ASSERT_EQ(CACHE_OK, PutConfigurationData(0, -1));
  Directory("CORP\ta\tR1\tID1\nCORP\ta\tR2\tID2\n");
  ASSERT_EQ(CACHE_OK, Find("a").rc);
  Directory("CORP\ta\tR3\tID3\nCORP\ta\tR2\tID2\n");
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
  UserEntry user = CachedUsers()[0];
  EXPECT_EQ(USER_ROLES_PENDING, user.status);
  EXPECT_EQ((Names{"R1", "R2"}), Find("a").names);  // still the committed set
  EXPECT_EQ((Names{"R3", "R2"}),
            Find("a", 128, [](const char* d, const char* u, int32_t* c, RoleNameId* r, int32_t) {
              return ClientFindUserCurrentRoles(d, u, c, r);
            }).names);
  // R1 leaves the role list while the commit is pending; the commit frees it.
  const std::vector<RoleEntry> withoutR1 = Roles(10, 1);
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(9, withoutR1.data()));
  ASSERT_EQ(CACHE_OK, ClientRefreshUserRoles("CORP", "a"));
  std::map<std::string, std::string> refs = RoleRefs();
  EXPECT_EQ(0u, refs.count("R1"));
  EXPECT_EQ("1", refs["R2"]);
  EXPECT_EQ("1", refs["R3"]);
  EXPECT_EQ(USER_ROLES_CURRENT, CachedUsers()[0].status);
  EXPECT_EQ((Names{"R3", "R2"}), Find("a").names);

  // A user whose refresh failed cannot be committed.
  Directory("CORP\ta\t@fail\n");
  ASSERT_EQ(CACHE_E_USER_FETCH_CALL, UpdateAllCurUserRoles(kTimeout));
  user = CachedUsers()[0];
  EXPECT_EQ(USER_ROLES_FETCH_FAILED, user.status);
  EXPECT_EQ(0, user.currentRoleCount);
  EXPECT_EQ(CACHE_E_USER_ROLES_FAILED, ClientRefreshUserRoles("CORP", "a"));
  EXPECT_EQ(2, CachedUsers()[0].roleCount);
  EXPECT_EQ((Names{"R3", "R2"}), Find("a").names);  // answered from the committed set
}

// ---- Sweep ---------------------------------------------------------------------------

TEST_F(UserCache, SweepDropsUsersOlderThanThreeDaysExactly) {
  Start();
  const std::vector<RoleEntry> withoutR7 = Roles(10, 7);
  Directory("CORP\tkeep\tR1\tID1\nCORP\tdrop\tR1\tID1\nCORP\tdrop\tR7\tID7\n");
  ASSERT_EQ(CACHE_OK, Find("keep").rc);
  ASSERT_EQ(CACHE_OK, Find("drop").rc);
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(9, withoutR7.data()));
  // The boundary is exact to the second; try again if the clock ticks in between.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int32_t now = Now();
    ASSERT_EQ(CACHE_OK, ClientUpdateOneUserLastAccessTime(now - 259200, "CORP", "keep"));
    ASSERT_EQ(CACHE_OK, ClientUpdateOneUserLastAccessTime(now - 259201, "CORP", "drop"));
    ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
    if (Now() == now) break;
    ASSERT_EQ(CACHE_OK, Find("drop").rc);  // put it back for another try
  }
  const std::vector<UserEntry> users = CachedUsers();
  ASSERT_EQ(1u, users.size());
  EXPECT_STREQ("keep", users[0].userName);
  std::map<std::string, std::string> refs = RoleRefs();
  EXPECT_EQ("1", refs["R1"]);       // shared: one holder left
  EXPECT_EQ(0u, refs.count("R7"));  // unlisted, last holder gone
  EXPECT_EQ("2 1", Marks());

  // A last access in the far future never wraps into the past.
  ASSERT_EQ(CACHE_OK, ClientUpdateOneUserLastAccessTime(INT32_MAX, "CORP", "keep"));
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
  EXPECT_EQ(1u, CachedUsers().size());
}

TEST_F(UserCache, RefreshCommitsChangesOnlyWithAutoCommit) {
  Start();
  Directory("CORP\ta\tR1\tID1\nCORP\ta\tR2\tID2\n");
  ASSERT_EQ(CACHE_OK, Find("a").rc);
  // The same roles in another order are no change.
  Directory("CORP\ta\tR2\tID2\nCORP\ta\tR1\tID1\nCORP\ta\tNEW\tX\n");
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
  EXPECT_EQ(USER_ROLES_CURRENT, CachedUsers()[0].status);
  EXPECT_EQ((Names{"R1", "R2"}), Find("a").names);

  // An unlisted role does not enter the current set either.
  const std::vector<RoleEntry> withoutR3 = Roles(10, 3);
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(9, withoutR3.data()));
  Directory("CORP\ta\tR2\tID2\nCORP\ta\tR4\tID4\nCORP\ta\tR3\tID3\n");
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
  EXPECT_EQ(USER_ROLES_CURRENT, CachedUsers()[0].status);
  EXPECT_EQ((Names{"R2", "R4"}), Find("a").names);
  std::map<std::string, std::string> refs = RoleRefs();
  EXPECT_EQ("0", refs["R1"]);
  EXPECT_EQ("1", refs["R2"]);
  EXPECT_EQ("1", refs["R4"]);
  EXPECT_EQ(9u, refs.size());  // R3 left the list unheld; NEW was never added
}

TEST_F(UserCache, SweepReturnsTheLastRefreshAndSurvivesDeletedUsers) {
  Start();
  EXPECT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));  // nobody to refresh
  Directory("CORP\ta\tR1\tID1\nCORP\tb\tR2\tID2\n");
  ASSERT_EQ(CACHE_OK, Find("a").rc);
  ASSERT_EQ(CACHE_OK, Find("b").rc);
  Directory("CORP\ta\t@fail\nCORP\tb\tR2\tID2\n");
  EXPECT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
  Directory("CORP\ta\tR1\tID1\nCORP\tb\t@fail\n");
  EXPECT_EQ(CACHE_E_USER_FETCH_CALL, UpdateAllCurUserRoles(kTimeout));

  // b is deleted while a's refresh waits for the directory.
  Directory("CORP\ta\t@delay\t600\nCORP\ta\tR1\tID1\nCORP\tb\tR2\tID2\n");
  std::thread sweep([] { EXPECT_EQ(CACHE_E_USER_NOT_CACHED, UpdateAllCurUserRoles(kTimeout)); });
  tq5test::SleepMs(200);
  EXPECT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "b"));
  sweep.join();
  EXPECT_EQ(USER_ROLES_CURRENT, CachedUsers()[0].status);
}

// ---- Damage and limits ---------------------------------------------------------------

TEST_F(UserCache, DamagedRoleSetsAreReportedNeverFollowed) {
  // A region image holding one role and users whose sets point outside the table or
  // claim more than 128 slots.
  CacheHeader header{};
  header.roleCapacity = 2;
  header.roleHighWater = 1;
  header.roleActiveCount = 1;
  header.userCapacity = 4;
  header.userHighWater = 4;
  header.userActiveCount = 4;
  header.autoCommitRoles = 1;
  header.roleHighWater = 2;  // slot 1 holds a role that has been freed
  std::string image = tq5test::RegionImage(header);
  RoleEntry role = Role("R0", "ID0");
  role.userRefs = 3;
  std::memcpy(&image[32], &role, sizeof role);
  RoleEntry freed = Role("R1", "ID1");
  freed.slot = 1;
  freed.inUse = 0;
  std::memcpy(&image[32 + 144], &freed, sizeof freed);
  const char* names[] = {"far", "many", "negative", "freed"};
  for (int i = 0; i < 4; ++i) {
    UserEntry user{};
    user.inUse = 1;
    user.slot = i;
    user.status = USER_ROLES_CURRENT;
    user.lastAccess = Now();
    std::snprintf(user.domainName, sizeof user.domainName, "CORP");
    std::snprintf(user.userName, sizeof user.userName, "%s", names[i]);
    user.roleCount = user.currentRoleCount = i == 1 ? 200 : 2;
    // Each holds slot 0 once; the other slots point outside the table or nowhere.
    for (int32_t& slot : user.roleSlots) slot = -1;
    user.roleSlots[0] = i == 0 ? 5000 : i == 2 ? -1 : 0;
    user.roleSlots[1] = i == 1 ? -1 : 0;
    if (i == 3) {  // the freed role only: its name is gone from the table
      user.roleSlots[0] = -1;
      user.roleSlots[1] = 1;
    }
    std::memcpy(&image[32 + 288 + 1176 * i], &user, sizeof user);
  }
  tq5test::WriteFileBytes(CacheFilePath(), image);
  StartServer();

  EXPECT_EQ(CACHE_E_CORRUPTED, Find("far").rc);
  EXPECT_EQ(CACHE_E_CORRUPTED, Find("many").rc);
  EXPECT_EQ(CACHE_E_ROLE_MISSING, Find("freed").rc);  // never a shorter list
  const Found negative = Find("negative");
  EXPECT_EQ(CACHE_OK, negative.rc);  // negative slots are skipped
  EXPECT_EQ((Names{"R0"}), negative.names);
  // Deleting them gives up only what lies inside the table.
  EXPECT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "far"));
  EXPECT_EQ(CACHE_OK, ClientDeleteUserCacheDataSharedMemory("CORP", "many"));
  EXPECT_EQ("1", RoleRefs()["R0"]);
}

TEST_F(UserCache, WithoutUserSlotsAMissCannotStore) {
  Start(16, 0);
  Directory("CORP\ta\tR1\tID1\n");
  EXPECT_EQ(CACHE_E_NO_SPACE, Find("a").rc);
}

TEST_F(UserCache, MoreThan128MatchedRolesKeepTheFirst128) {
  StartServer();
  std::vector<RoleEntry> roles = Roles(130);
  ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(130, roles.data()));
  std::string directory;
  for (int i = 0; i < 130; ++i) {
    directory += "CORP\tbig\tR" + std::to_string(i) + "\tID" + std::to_string(i) + "\n";
  }
  Directory(directory);
  Found found = Find("big", 200);
  ASSERT_EQ(CACHE_OK, found.rc);
  ASSERT_EQ(128u, found.names.size());
  EXPECT_EQ("R127", found.names.back());
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeout));
  EXPECT_EQ(USER_ROLES_CURRENT, CachedUsers()[0].status);
  EXPECT_EQ(128, CachedUsers()[0].currentRoleCount);
}

// ---- Threads ---------------------------------------------------------------------------

TEST_F(UserCache, LookupsAndSweepsOnManyThreadsNeverDeadlock) {
  Start();
  std::string directory;
  for (int u = 0; u < 6; ++u) {
    const std::string user = "CORP\tu" + std::to_string(u);
    directory += user + "\t@delay\t30\n" + user + "\tR" + std::to_string(u) + "\tID" +
                 std::to_string(u) + "\n";
  }
  Directory(directory);
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        const std::string user = "u" + std::to_string((i + t) % 6);
        const ResultCode rc = Find(user.c_str()).rc;
        if (rc != CACHE_OK) ++unexpected;
        if (i % 5 == 0) ClientDeleteUserCacheDataSharedMemory("CORP", user.c_str());
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        const ResultCode rc = UpdateAllCurUserRoles(kTimeout);
        if (rc != CACHE_OK && rc != CACHE_E_USER_NOT_CACHED) ++unexpected;
      }
    });
  }
  // A deadlock shows as threads that never finish: give them a bounded time to stop.
  tq5test::SleepMs(1500);
  stop = true;
  std::atomic<int> joined{0};
  std::thread watchdog([&] {
    for (int waited = 0; waited < 60000 && joined < 5; waited += 50) tq5test::SleepMs(50);
    if (joined < 5) {
      std::fprintf(stderr, "lookups and sweeps deadlocked\n");
      std::abort();
    }
  });
  for (std::thread& thread : threads) {
    thread.join();
    ++joined;
  }
  watchdog.join();
  EXPECT_EQ(0, unexpected.load());
}

}  // namespace
