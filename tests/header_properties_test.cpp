// The twelve header exports: -1 keeps a field, null pointers are not wanted, server and
// client variants see the same header, and a region-less process is refused.
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

class HeaderProperties : public tq5test::CacheTest {};

TEST_F(HeaderProperties, NewRegionHasTheDefaults) {
  StartServer();
  int32_t rc = 0, rh = 1, ra = 1, uc = 0, uh = 1, ua = 1, autoCommit = 0, config = 0;
  EXPECT_EQ(CACHE_OK, GetRoleProperties(&rc, &rh, &ra));
  EXPECT_EQ(CACHE_OK, ClientGetUserProperties(&uc, &uh, &ua));
  EXPECT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &config));
  EXPECT_EQ(1024, rc);
  EXPECT_EQ(0, rh);
  EXPECT_EQ(0, ra);
  EXPECT_EQ(1024, uc);
  EXPECT_EQ(0, uh);
  EXPECT_EQ(0, ua);
  EXPECT_EQ(1, autoCommit);
  EXPECT_EQ(300, config);
}

TEST_F(HeaderProperties, MinusOneLeavesAFieldAlone) {
  StartServer();
  EXPECT_EQ(CACHE_OK, PutRoleProperties(-1, -1, -1));
  EXPECT_EQ(CACHE_OK, PutUserProperties(-1, 5, -1));
  EXPECT_EQ(CACHE_OK, ClientPutRoleProperties(-1, 3, 2));
  int32_t cap = 0, high = 0, active = 0;
  EXPECT_EQ(CACHE_OK, ClientGetUserProperties(&cap, &high, &active));
  EXPECT_EQ(1024, cap);
  EXPECT_EQ(5, high);
  EXPECT_EQ(0, active);
  EXPECT_EQ(CACHE_OK, GetRoleProperties(&cap, &high, &active));
  EXPECT_EQ(1024, cap);
  EXPECT_EQ(3, high);
  EXPECT_EQ(2, active);
  // Any other value, negative ones included, is stored as given.
  EXPECT_EQ(CACHE_OK, PutConfigurationData(-7, 0));
  int32_t autoCommit = 0, config = 1;
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(&autoCommit, &config));
  EXPECT_EQ(-7, autoCommit);
  EXPECT_EQ(0, config);
}

TEST_F(HeaderProperties, GetsWithNullPointersReadNothing) {
  StartServer();
  EXPECT_EQ(CACHE_OK, GetConfigurationData(nullptr, nullptr));
  EXPECT_EQ(CACHE_OK, ClientGetRoleProperties(nullptr, nullptr, nullptr));
  int32_t high = -9;
  EXPECT_EQ(CACHE_OK, GetUserProperties(nullptr, &high, nullptr));
  EXPECT_EQ(0, high);
}

TEST_F(HeaderProperties, ProcessWithoutARegionIsRefused) {
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  int32_t value = 11;
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, GetRoleProperties(&value, &value, &value));
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, PutUserProperties(1, 1, 1));
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, GetConfigurationData(&value, nullptr));
  EXPECT_EQ(11, value);
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetUserProperties(&value, nullptr, nullptr));
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientPutConfigurationData(1, 1));
  EXPECT_EQ(11, value);
}

TEST_F(HeaderProperties, PutsThatContradictTheLayoutAreRefusedWhole) {
  StartServer();
  // Capacities other than the region's, from the server or a client, a mark beyond its
  // table and a count beyond its mark: refused, nothing of the group stored.
  EXPECT_EQ(CACHE_E_NO_SPACE, ClientPutRoleProperties(100, -1, -1));
  EXPECT_EQ(CACHE_E_NO_SPACE, PutRoleProperties(1025, 2, 1));
  EXPECT_EQ(CACHE_E_NO_SPACE, ClientPutUserProperties(-1, 1025, -1));
  EXPECT_EQ(CACHE_E_NO_SPACE, PutUserProperties(-1, 4, 5));
  EXPECT_EQ(CACHE_E_NO_SPACE, PutUserProperties(-1, -3, -1));
  int32_t roles = 0, roleMark = 7, users = 0, userMark = 7;
  EXPECT_EQ(CACHE_OK, ClientGetRoleProperties(&roles, &roleMark, nullptr));
  EXPECT_EQ(CACHE_OK, GetUserProperties(&users, &userMark, nullptr));
  EXPECT_EQ(1024, roles);
  EXPECT_EQ(0, roleMark);
  EXPECT_EQ(1024, users);
  EXPECT_EQ(0, userMark);
  // The real capacities and fitting marks are taken, and the region stays one that a
  // start-up accepts.
  EXPECT_EQ(CACHE_OK, ClientPutUserProperties(1024, 4, 4));
  EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
}

TEST_F(HeaderProperties, HeaderDamagedAroundTheLibraryNeverLeadsOutsideTheSection) {
  StartServer();
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  const std::string before = tq5test::ReadFileBytes(CacheFilePath());
  tq5test::RawRegion raw;
  ASSERT_TRUE(raw.mapped());
  // Tables far larger than the section: nothing is read or written through them, and
  // the write leaves the previous file alone.
  raw.header().roleCapacity = 1 << 30;
  EXPECT_EQ(CACHE_E_CORRUPTED, WriteCacheDataToFile());
  EXPECT_EQ(before, tq5test::ReadFileBytes(CacheFilePath()));
  raw.header().roleCapacity = 1024;
  raw.header().userCapacity = -3;
  EXPECT_EQ(CACHE_E_CORRUPTED, WriteCacheDataToFile());
  raw.header().userCapacity = 1024;
  EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
}

}  // namespace
