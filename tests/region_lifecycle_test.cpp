// Start-up and shut-down, the client and server call patterns, and the global cache
// mutex's re-entrance, within one process.
#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

using tq5test::CacheTest;

class Lifecycle : public CacheTest {};

TEST_F(Lifecycle, StartUpExportsAreIdempotent) {
  EXPECT_EQ(CACHE_OK, UninitializeTQ5ORVCache());  // nothing to close
  EXPECT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  EXPECT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  EXPECT_EQ(CACHE_OK, InitializeTQ5ORVCache());  // already holds the mutex
  EXPECT_EQ(CACHE_OK, UninitializeTQ5ORVCache());
  EXPECT_EQ(CACHE_OK, UninitializeTQ5ORVCache());
}

TEST_F(Lifecycle, ClientCannotStartBeforeAnyServer) {
  // (A client of a running server is covered by the multi-process tests: on Windows the
  // mutex vanishes with the last handle, so this process cannot play both parts.)
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, InitializeTQ5ORVCache());
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, InitializeTQ5ORVCache());
}

TEST_F(Lifecycle, ClientCallsWithoutARegionFailToOpenIt) {
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  int32_t value = 42;
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetConfigurationData(&value, nullptr));
  EXPECT_EQ(42, value);
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientPutRoleProperties(1, 1, 1));
  // The mutex was released: another thread can still take it.
  std::thread other([] { EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientPutUserProperties(-1, -1, -1)); });
  other.join();
}

TEST_F(Lifecycle, ServerProcessClientCallsUseTheServersView) {
  StartServer();
  EXPECT_EQ(CACHE_OK, ClientPutConfigurationData(0, 77));
  int32_t autoCommit = -5, config = -5;
  EXPECT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &config));
  EXPECT_EQ(0, autoCommit);
  EXPECT_EQ(77, config);
  // The client call left the server's view mapped.
  EXPECT_EQ(CACHE_OK, PutConfigurationData(1, -1));
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(&autoCommit, &config));
  EXPECT_EQ(1, autoCommit);
  EXPECT_EQ(77, config);
}

TEST_F(Lifecycle, RegionShutDownRulesAndSecondStartUp) {
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, UninitializeCacheDataSharedMemory());
  StartServer();
  EXPECT_EQ(CACHE_E_REGION_EXISTS, InitializeCacheDataSharedMemory());
  int32_t capacity = 0;
  EXPECT_EQ(CACHE_OK, GetRoleProperties(&capacity, nullptr, nullptr));  // first region intact
  EXPECT_EQ(1024, capacity);
  EXPECT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, UninitializeCacheDataSharedMemory());
  // Once the server has let go, the region is gone for clients too.
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetRoleProperties(&capacity, nullptr, nullptr));
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, GetRoleProperties(&capacity, nullptr, nullptr));
  // And the server can build a new one.
  EXPECT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
}

TEST_F(Lifecycle, WithoutAnyMutexNothingTouchesTheRegion) {
  // No start-up, and no mutex that a call could open for itself.
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, InitializeCacheDataSharedMemory());
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, PutConfigurationData(5, 6));
  int32_t config = 0;
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(0, config);
  const tq5test::RawRegion raw;
  EXPECT_FALSE(raw.mapped());  // no region was made
}

TEST_F(Lifecycle, MutexClosedBeforeTheRegionIsShutDown) {
  StartServer();
  // Shutting the mutex first is allowed: the region's shut-down opens the mutex for
  // itself, and does nothing while there is none to open.
  EXPECT_EQ(CACHE_OK, UninitializeTQ5ORVCache());
#ifdef _WIN32
  // Here the mutex ended with its last handle.
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, UninitializeCacheDataSharedMemory());
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
#endif
  EXPECT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, UninitializeCacheDataSharedMemory());
  // The region is gone and a new server can start.
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetConfigurationData(nullptr, nullptr));
  StartServer();
}

}  // namespace
