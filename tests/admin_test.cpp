// The admin interface as `orvcache` uses it, seen from include/ alone: the start-up and
// the command's file check apply one acceptance rule, and the clean-up of a crashed
// server's leftovers says what it removed.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "tq5orvcache_admin.h"

namespace {

using tq5test::CacheTest;
using tq5test::RegionImage;
using tq5test::WriteFileBytes;

// What the library's load hook does; a program linked with the static library does it.
[[maybe_unused]] const bool attached = tq5::admin::AttachProcess();

class AdminInterface : public CacheTest {};

CacheHeader SmallHeader() {
  CacheHeader h{};
  h.roleCapacity = 8;
  h.userCapacity = 4;
  h.autoCommitRoles = 1;
  return h;
}

// A file one byte short of its tables is refused by the check and by the start-up alike,
// in the same words; a whole one is used, and the start-up says so.
TEST_F(AdminInterface, TheStartUpSaysWhetherItUsedTheFileByTheCheckOwnRule) {
  std::string image = RegionImage(SmallHeader());
  image.pop_back();
  WriteFileBytes(CacheFilePath(), image);
  const tq5::admin::CacheFileCheck short_ = tq5::admin::CheckCacheFile(CacheFilePath());
  EXPECT_FALSE(short_.usable);
  EXPECT_NE(std::string::npos, short_.reason.find("shorter than the header announces"))
      << short_.reason;
  StartServer();
  tq5::admin::RegionOrigin origin = tq5::admin::LatestRegionOrigin();
  EXPECT_FALSE(origin.fromFile);
  EXPECT_EQ(short_.reason, origin.reason);
  CacheHeader started{};
  ASSERT_EQ(CACHE_OK, GetUserProperties(&started.userCapacity, &started.userHighWater,
                                        &started.userActiveCount));
  EXPECT_NE(4, started.userCapacity);  // the defaults, not the file's capacities
  UninitializeCacheDataSharedMemory();
  UninitializeTQ5ORVCache();

  WriteFileBytes(CacheFilePath(), RegionImage(SmallHeader()));
  ASSERT_TRUE(tq5::admin::CheckCacheFile(CacheFilePath()).usable);
  StartServer();
  origin = tq5::admin::LatestRegionOrigin();
  EXPECT_TRUE(origin.fromFile) << origin.reason;
  EXPECT_EQ(CacheFilePath(), origin.file);
  ASSERT_EQ(CACHE_OK, GetUserProperties(&started.userCapacity, &started.userHighWater,
                                        &started.userActiveCount));
  EXPECT_EQ(4, started.userCapacity);
}

// The clean-up names each temporary file it removed, and leaves the files of a writer
// that runs (this process) and anything not named as a writer names its file.
TEST_F(AdminInterface, TheCleanUpNamesTheTemporaryFilesItRemoved) {
  // Writers' names: "TQ5" and the writer's process id in 8 hex digits, as older writers
  // named theirs. Process id 0xFFFFFFF0 runs nowhere.
  const std::string dead = "TQ5FFFFFFF0.tmp";
  char own[32];
  std::snprintf(own, sizeof own, "TQ5%08lX.tmp", tq5test::ProcessId() & 0xFFFFFFFFul);
  for (const std::string& name : {dead, std::string(own), std::string("TQ5notours.tmp")}) {
    WriteFileBytes(PathInFolder(name), "x");
  }
  const tq5::admin::LeftoverReport report = tq5::admin::RemoveLeftovers(false);
  ASSERT_EQ(1u, report.removed.size());
  EXPECT_EQ("temporary file " + PathInFolder(dead), report.removed[0]);
  // A writer's file that stays is named as staying, with why.
  bool ownNamed = false;
  for (const std::string& note : report.notes) ownNamed = ownNamed || note.find(own) != std::string::npos;
  EXPECT_TRUE(ownNamed);
  EXPECT_FALSE(tq5test::FileExists(PathInFolder(dead)));
  EXPECT_TRUE(tq5test::FileExists(PathInFolder(own)));
  EXPECT_TRUE(tq5test::FileExists(PathInFolder("TQ5notours.tmp")));
}

}  // namespace
