// The role table through the exports: the full load, the merge that keeps every role in
// its slot, the four listings and their count contract, damaged headers, and client
// listings from the server's own process and from a second one.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

using Roles = std::vector<RoleEntry>;
using ListFn = ResultCode (*)(int32_t*, RoleEntry*);

constexpr ListFn kListings[] = {
    GetAllRolesCacheDataSharedMemory, GetAllActiveRolesCacheDataSharedMemory,
    ClientGetAllRolesCacheDataSharedMemory, ClientGetAllActiveRolesCacheDataSharedMemory};

RoleEntry Role(const char* name, const char* id, int32_t userRefs = 0) {
  RoleEntry role{};
  role.inUse = 1;
  role.listed = 1;
  role.userRefs = userRefs;
  role.slot = 77;  // whatever the caller leaves there, the table sets its own
  std::snprintf(role.name, sizeof role.name, "%s", name);
  std::snprintf(role.id, sizeof role.id, "%s", id);
  return role;
}

ResultCode Put(const Roles& roles) {
  return PutAllRolesCacheDataSharedMemory(static_cast<int32_t>(roles.size()), roles.data());
}
ResultCode Update(const Roles& roles) {
  return UpdateAllRolesCacheDataSharedMemory(static_cast<int32_t>(roles.size()), roles.data());
}

struct Listing {
  ResultCode rc;
  int32_t count;
  Roles buffer;  // one record more than the capacity, to see what was not written
};

Listing List(ListFn list, int32_t capacity) {
  RoleEntry untouched;
  std::memset(&untouched, 0xAB, sizeof untouched);
  Listing out{CACHE_OK, capacity, Roles(capacity > 0 ? capacity + 1 : 1, untouched)};
  out.rc = list(&out.count, out.buffer.data());
  return out;
}

bool Untouched(const RoleEntry& record) {
  return record.inUse == static_cast<int32_t>(0xABABABAB) && record.slot == record.inUse;
}

// The table as a listing shows it: "slot:name/id" for each in-use role, "+" if listed.
std::string Table(ListFn list = GetAllRolesCacheDataSharedMemory) {
  const Listing l = List(list, 64);
  EXPECT_EQ(CACHE_OK, l.rc);
  std::string out;
  for (int32_t i = 0; i < l.count && i < 64; ++i) {
    const RoleEntry& r = l.buffer[i];
    out += (out.empty() ? "" : " ") + std::to_string(r.slot) + ":" + r.name + "/" + r.id +
           (r.listed == 1 ? "+" : "-");
  }
  return out;
}

// "capacity highWater activeCount"
std::string Marks() {
  int32_t capacity = 0, high = 0, active = 0;
  EXPECT_EQ(CACHE_OK, GetRoleProperties(&capacity, &high, &active));
  return std::to_string(capacity) + " " + std::to_string(high) + " " + std::to_string(active);
}

class RoleTable : public tq5test::CacheTest {
 protected:
  // A server whose region has `roles` role slots and no user slots, built from a cache
  // file with that header and empty tables.
  void StartServerWithRoleCapacity(int32_t roles) {
    CacheHeader header{};
    header.roleCapacity = roles;
    header.autoCommitRoles = 1;
    tq5test::WriteFileBytes(CacheFilePath(), tq5test::RegionImage(header));
    StartServer();
  }
};

TEST_F(RoleTable, PutWritesTheListFromSlotZeroAndLeavesTheRestDead) {
  StartServer();
  ASSERT_EQ(CACHE_OK, Put({Role("Alpha", "1"), Role("beta", "2"), Role("gamma", "3")}));
  EXPECT_EQ("0:Alpha/1+ 1:beta/2+ 2:gamma/3+", Table());
  EXPECT_EQ("1024 3 3", Marks());

  ASSERT_EQ(CACHE_OK, Put({Role("delta", "4")}));
  EXPECT_EQ("0:delta/4+", Table());
  EXPECT_EQ("1024 1 1", Marks());
  // The dead entries are not found by a merge either: gamma comes back as a new role.
  ASSERT_EQ(CACHE_OK, Update({Role("delta", "4"), Role("GAMMA", "3")}));
  EXPECT_EQ("0:delta/4+ 1:GAMMA/3+", Table());

  // A record given as not in use takes its slot but is not counted as a role.
  Roles withFree = {Role("a", "1"), Role("free", "2")};
  withFree[1].inUse = 0;
  ASSERT_EQ(CACHE_OK, Put(withFree));
  EXPECT_EQ("0:a/1+", Table());
  EXPECT_EQ("1024 2 1", Marks());
}

TEST_F(RoleTable, ListsLongerThanTheTableAreRefusedWithoutChange) {
  StartServerWithRoleCapacity(4);
  const Roles four = {Role("a", "1"), Role("b", "2"), Role("c", "3"), Role("d", "4")};
  ASSERT_EQ(CACHE_OK, Put(four));
  Roles five = four;
  five.push_back(Role("e", "5"));
  EXPECT_EQ(CACHE_E_NO_SPACE, Put(five));
  EXPECT_EQ(CACHE_E_NO_SPACE, Update(five));
  EXPECT_EQ("0:a/1+ 1:b/2+ 2:c/3+ 3:d/4+", Table());
  EXPECT_EQ("4 4 4", Marks());
}

TEST_F(RoleTable, ArgumentsAreCheckedBeforeTheRegion) {
  RoleEntry role = Role("a", "1");
  int32_t count = 5;
  // No mutex and no region: empty lists and bad pointers are answered all the same.
  EXPECT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(0, nullptr));
  EXPECT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(-3, nullptr));
  EXPECT_EQ(CACHE_E_INVALID_POINTER, PutAllRolesCacheDataSharedMemory(2, nullptr));
  EXPECT_EQ(CACHE_E_INVALID_POINTER, UpdateAllRolesCacheDataSharedMemory(2, nullptr));
  for (ListFn list : kListings) {
    EXPECT_EQ(CACHE_E_INVALID_POINTER, list(nullptr, &role));
    EXPECT_EQ(CACHE_E_INVALID_POINTER, list(&count, nullptr));
  }
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, PutAllRolesCacheDataSharedMemory(1, &role));
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, UpdateAllRolesCacheDataSharedMemory(1, &role));
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, GetAllRolesCacheDataSharedMemory(&count, &role));
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, GetAllActiveRolesCacheDataSharedMemory(&count, &role));
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetAllRolesCacheDataSharedMemory(&count, &role));
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetAllActiveRolesCacheDataSharedMemory(&count, &role));
  EXPECT_EQ(5, count);
  EXPECT_EQ(std::string("a"), role.name);
}

TEST_F(RoleTable, UnterminatedTextsRefuseTheWholeList) {
  StartServer();
  ASSERT_EQ(CACHE_OK, Put({Role("a", "1"), Role("b", "2")}));
  Roles badId = {Role("c", "3"), Role("d", "4")};
  std::memset(badId[1].id, 'x', sizeof badId[1].id);
  Roles badName = {Role("a", "1"), Role("e", "5")};
  std::memset(badName[1].name, 'y', sizeof badName[1].name);
  for (const Roles* bad : {&badId, &badName}) {
    EXPECT_EQ(CACHE_E_INVALID_POINTER, Put(*bad));
    EXPECT_EQ(CACHE_E_INVALID_POINTER, Update(*bad));
  }
  EXPECT_EQ("0:a/1+ 1:b/2+", Table());
  EXPECT_EQ("1024 2 2", Marks());
}

TEST_F(RoleTable, MergeKeepsSlotsAndTheFirstStoredCase) {
  StartServer();
  ASSERT_EQ(CACHE_OK, Put({Role("Alpha", "Id-1"), Role("beta", "id-2"), Role("gamma", "ID-3")}));
  ASSERT_EQ(CACHE_OK, Update({Role("GAMMA", "id-3"), Role("alpha", "ID-1"), Role("Beta", "Id-2")}));
  EXPECT_EQ("0:Alpha/Id-1+ 1:beta/id-2+ 2:gamma/ID-3+", Table());
  EXPECT_EQ("1024 3 3", Marks());
  // A role is the pair: a known name with a new id is another role.
  ASSERT_EQ(CACHE_OK, Update({Role("alpha", "id-9"), Role("alpha", "id-1"), Role("beta", "id-2"),
                              Role("gamma", "id-3")}));
  EXPECT_EQ("0:Alpha/Id-1+ 1:beta/id-2+ 2:gamma/ID-3+ 3:alpha/id-9+", Table());
}

TEST_F(RoleTable, UnlistedRolesLiveOnlyWhileHeldAndFreedSlotsAreTakenFirst) {
  StartServer();
  ASSERT_EQ(CACHE_OK, Put({Role("a", "1"), Role("held", "2", 1), Role("c", "3"), Role("d", "4")}));
  ASSERT_EQ(CACHE_OK, Update({Role("a", "1")}));
  EXPECT_EQ("0:a/1+ 1:held/2-", Table());
  EXPECT_EQ("0:a/1+", Table(GetAllActiveRolesCacheDataSharedMemory));
  EXPECT_EQ("1024 4 2", Marks());

  // New roles fill slots 2 and 3 before the mark grows; a role named twice (in any
  // case) is added once.
  ASSERT_EQ(CACHE_OK, Update({Role("e", "5"), Role("a", "1"), Role("f", "6"), Role("E", "5"),
                              Role("g", "7")}));
  EXPECT_EQ("0:a/1+ 1:held/2- 2:e/5+ 3:f/6+ 4:g/7+", Table());
  EXPECT_EQ("1024 5 5", Marks());

  // Listed again, the held role is active again in its old slot.
  ASSERT_EQ(CACHE_OK, Update({Role("HELD", "2"), Role("a", "1")}));
  EXPECT_EQ("0:a/1+ 1:held/2+", Table(GetAllActiveRolesCacheDataSharedMemory));
  EXPECT_EQ("1024 5 2", Marks());
}

TEST_F(RoleTable, MergeOutOfSlotsLeavesWhatItMergedSoFar) {
  StartServerWithRoleCapacity(4);
  const Roles four = {Role("a", "1"), Role("b", "2"), Role("c", "3"), Role("d", "4")};
  ASSERT_EQ(CACHE_OK, Put(four));
  // d would be freed only by the sweep, which never comes.
  EXPECT_EQ(CACHE_E_NO_SPACE,
            Update({Role("a", "1"), Role("b", "2"), Role("c", "3"), Role("new", "5")}));
  EXPECT_EQ("0:a/1+ 1:b/2+ 2:c/3+ 3:d/4-", Table());
  EXPECT_EQ("4 4 4", Marks());
  // With the new role first, nothing is re-listed.
  ASSERT_EQ(CACHE_OK, Put(four));
  EXPECT_EQ(CACHE_E_NO_SPACE, Update({Role("new", "5"), Role("a", "1")}));
  EXPECT_EQ("0:a/1- 1:b/2- 2:c/3- 3:d/4-", Table());
  EXPECT_EQ("", Table(GetAllActiveRolesCacheDataSharedMemory));
  // The next successful merge sets every flag right, and its sweep makes room.
  ASSERT_EQ(CACHE_OK, Update({Role("a", "1"), Role("c", "3")}));
  ASSERT_EQ(CACHE_OK, Update({Role("a", "1"), Role("c", "3"), Role("new", "5")}));
  EXPECT_EQ("0:a/1+ 1:new/5+ 2:c/3+", Table());
  EXPECT_EQ("4 4 3", Marks());
}

class RoleListing : public RoleTable {
 protected:
  // In use: slots 0, 2, 3, 6 and 7; slot 2 is held by a user but no longer listed.
  void SetUp() override {
    RoleTable::SetUp();
    StartServer();
    Roles eight;
    for (int i = 0; i < 8; ++i) {
      eight.push_back(Role(("r" + std::to_string(i)).c_str(), "x", i == 2 ? 1 : 0));
    }
    ASSERT_EQ(CACHE_OK, Put(eight));
    ASSERT_EQ(CACHE_OK, Update({eight[0], eight[3], eight[6], eight[7]}));
  }
};

TEST_F(RoleListing, ShortBufferGetsTheFirstRolesAndTheTotal) {
  for (bool client : {false, true}) {
    const Listing all = List(kListings[client ? 2 : 0], 3);
    EXPECT_EQ(CACHE_E_BUFFER_TOO_SMALL, all.rc);
    EXPECT_EQ(5, all.count);
    EXPECT_EQ(0, all.buffer[0].slot);
    EXPECT_EQ(2, all.buffer[1].slot);
    EXPECT_EQ(1, all.buffer[1].userRefs);
    EXPECT_EQ(0, all.buffer[1].listed);
    EXPECT_EQ(3, all.buffer[2].slot);
    EXPECT_TRUE(Untouched(all.buffer[3]));

    const Listing active = List(kListings[client ? 3 : 1], 2);
    EXPECT_EQ(CACHE_E_BUFFER_TOO_SMALL, active.rc);
    EXPECT_EQ(4, active.count);
    EXPECT_EQ(0, active.buffer[0].slot);
    EXPECT_EQ(3, active.buffer[1].slot);
    EXPECT_STREQ("r3", active.buffer[1].name);
    EXPECT_TRUE(Untouched(active.buffer[2]));
  }
}

TEST_F(RoleListing, CountContractForEveryCapacity) {
  const int32_t totals[] = {5, 4, 5, 4};
  for (int v = 0; v < 4; ++v) {
    const int32_t total = totals[v];
    for (int32_t capacity : {total, total + 3}) {
      const Listing l = List(kListings[v], capacity);
      EXPECT_EQ(CACHE_OK, l.rc);
      EXPECT_EQ(total, l.count);
      EXPECT_EQ(7, l.buffer[total - 1].slot);
      EXPECT_TRUE(Untouched(l.buffer[total]));
    }
    for (int32_t capacity : {0, -1}) {
      const Listing l = List(kListings[v], capacity);
      EXPECT_EQ(CACHE_E_BUFFER_TOO_SMALL, l.rc);
      EXPECT_EQ(total, l.count);
      EXPECT_TRUE(Untouched(l.buffer[0]));
    }
  }
  // An empty table: any capacity of 0 or more fits; a negative one does not.
  ASSERT_EQ(CACHE_OK, PutRoleProperties(-1, 0, 0));
  for (ListFn list : kListings) {
    EXPECT_EQ(CACHE_OK, List(list, 0).rc);
    const Listing negative = List(list, -1);
    EXPECT_EQ(CACHE_E_BUFFER_TOO_SMALL, negative.rc);
    EXPECT_EQ(0, negative.count);
  }
  // The client listings left the server's view mapped.
  EXPECT_EQ("1024 0 0", Marks());
}

TEST_F(RoleListing, SecondProcessListsThroughItsOwnAttach) {
  EXPECT_EQ(
      0, tq5test::RunPeer({"client-expect-roles", "all", "0:r0", "2:r2", "3:r3", "6:r6", "7:r7"}));
  EXPECT_EQ(0, tq5test::RunPeer({"client-expect-roles", "active", "0:r0", "3:r3", "6:r6", "7:r7"}));
  ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
  EXPECT_EQ(-CACHE_E_OPEN_MAPPING, tq5test::RunPeer({"client-expect-roles", "all"}));
}

TEST_F(RoleTable, DamagedHeaderNeverLeadsOutsideTheTable) {
  StartServerWithRoleCapacity(4);
  ASSERT_EQ(CACHE_OK, Put({Role("a", "1"), Role("b", "2"), Role("c", "3")}));
  tq5test::RawRegion raw;
  ASSERT_TRUE(raw.mapped());
  CacheHeader& header = raw.header();

  // A mark beyond the capacity scans the table and no further.
  header.roleHighWater = 1 << 20;
  EXPECT_EQ("0:a/1+ 1:b/2+ 2:c/3+", Table());
  ASSERT_EQ(CACHE_OK, Update({Role("a", "1"), Role("b", "2"), Role("c", "3"), Role("d", "4")}));
  EXPECT_EQ(CACHE_E_NO_SPACE, Update({Role("e", "5")}));
  EXPECT_EQ("0:a/1- 1:b/2- 2:c/3- 3:d/4-", Table());

  // A negative mark leaves nothing to scan, and counts at their limits do not overflow.
  header.roleHighWater = -7;
  header.roleActiveCount = INT_MAX;
  EXPECT_EQ("", Table());
  ASSERT_EQ(CACHE_OK, Update({Role("x", "9")}));
  EXPECT_EQ("0:x/9+", Table());
  EXPECT_EQ("4 1 2147483647", Marks());
  header.roleHighWater = 1;
  header.roleActiveCount = INT_MIN;
  // The slot at the mark is taken as it stands, whatever a dead entry left there.
  ASSERT_EQ(CACHE_OK, Update({Role("y", "8")}));
  EXPECT_EQ("1:y/8+", Table());

  // Capacities that the section cannot hold: refused, nothing read or written.
  header.roleCapacity = 1 << 20;
  RoleEntry role = Role("z", "0");
  int32_t count = 1;
  EXPECT_EQ(CACHE_E_CORRUPTED, PutAllRolesCacheDataSharedMemory(1, &role));
  EXPECT_EQ(CACHE_E_CORRUPTED, UpdateAllRolesCacheDataSharedMemory(1, &role));
  for (ListFn list : kListings) EXPECT_EQ(CACHE_E_CORRUPTED, list(&count, &role));
  EXPECT_EQ(1, count);
  // A full load repairs marks and counts.
  header.roleCapacity = 4;
  ASSERT_EQ(CACHE_OK, Put({Role("a", "1")}));
  EXPECT_EQ("4 1 1", Marks());
}

}  // namespace
