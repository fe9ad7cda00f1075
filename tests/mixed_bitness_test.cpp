// A 32-bit and a 64-bit process on one cache. This program is of one bitness; the peer
// programs of the build of the other bitness (TQ5_OTHER_BITNESS_BIN_DIR) play the other
// side: first a server of the other bitness with this process as its client, then the
// reverse. Both share the region, the mutex and the cache file, which each must read
// byte for byte as the other wrote it, and each fetches misses through the directory
// server from a process of its own bitness.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kFirstFetchMs = 120000;  // may have to start the directory service

RoleEntry Role(int32_t slot, const char* name) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  role.slot = slot;
  std::snprintf(role.name, sizeof role.name, "%s", name);
  std::snprintf(role.id, sizeof role.id, "ID-%s", name);
  return role;
}

// The names of the users in the table, in slot order.
std::vector<std::string> CachedUsers() {
  std::vector<UserEntry> users(8);
  int32_t count = static_cast<int32_t>(users.size());
  EXPECT_EQ(CACHE_OK, ClientGetAllUsersCacheDataSharedMemory(&count, users.data()));
  std::vector<std::string> names;
  for (int32_t i = 0; i < count; ++i) names.push_back(users[i].userName);
  return names;
}

class MixedBitness : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    // A copy: setting variables below may move the environment that getenv points into.
    const char* variable = std::getenv("TQ5_OTHER_BITNESS_BIN_DIR");
    const std::string dir = variable != nullptr ? variable : "";
    const bool required = std::getenv("TQ5_MIXED_BITNESS_REQUIRED") != nullptr;
    if (dir.empty() || !fs::exists(fs::path(dir) / "tq5_peer.exe")) {
      if (required) FAIL() << "no tq5_peer.exe of the other bitness in '" << dir << "'";
      GTEST_SKIP() << "the other bitness's build is not there (TQ5_OTHER_BITNESS_BIN_DIR): '" << dir
                   << "'";
    }
    otherPeer_ = (fs::path(dir) / "tq5_peer.exe").string();
    // Each bitness fetches through the server its own view of the registry names.
    directory_ = PathInFolder("directory.txt");
    tq5test::WriteFileBytes(directory_,
                            "CORP\talice\tR1\tID-R1\nCORP\talice\tR2\tID-R2\n"
                            "CORP\tbob\tR2\tID-R2\nCORP\tbob\tR3\tID-R3\n");
    tq5test::UseDirectoryFile(directory_);
    otherDirectoryServer_ = (fs::path(dir) / "orv_directory_server.exe").string();
    ASSERT_EQ(0, tq5test::RunPeer(otherDirectoryServer_, {"/RegServer"}));
  }

  // The other bitness's registration goes with the test: left in the prefix, it would
  // answer this bitness's later tests once they remove their own.
  void TearDown() override {
    if (!otherDirectoryServer_.empty()) {
      EXPECT_EQ(0, tq5test::RunPeer(otherDirectoryServer_, {"/UnregServer"}));
    }
    CacheTest::TearDown();
  }

  // A cache file of three roles and room for four users.
  std::string InitialFile() const {
    CacheHeader header{};
    header.roleCapacity = 8;
    header.roleHighWater = header.roleActiveCount = 3;
    header.userCapacity = 4;
    header.autoCommitRoles = 1;
    std::string image = tq5test::RegionImage(header);
    const RoleEntry roles[] = {Role(0, "R1"), Role(1, "R2"), Role(2, "R3")};
    std::memcpy(&image[sizeof header], roles, sizeof roles);
    return image;
  }

  // The region as a server of the other bitness holds it, compared with `file`, which
  // that server loaded.
  void ExpectRegionHolds(const std::string& file) {
    tq5test::RawRegion region;
    ASSERT_TRUE(region.mapped());
    EXPECT_EQ(0, std::memcmp(&region.header(), file.data(), file.size()))
        << "the region differs from the cache file it was loaded from";
  }

  std::string otherPeer_;
  std::string otherDirectoryServer_;
  std::string directory_;
};

TEST_F(MixedBitness, ServerAndClientOfEitherBitnessShareRegionMutexAndFile) {
  // A server of the other bitness loads a file this one wrote; this process is its client.
  const std::string initial = InitialFile();
  tq5test::WriteFileBytes(CacheFilePath(), initial);
  const std::string ready = PathInFolder("ready"), stop = PathInFolder("stop");
  tq5test::Peer otherServer(otherPeer_, {"serve", ready, stop});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  ExpectRegionHolds(initial);

  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCache());
  std::vector<RoleEntry> roles(8);
  int32_t roleCount = 8;
  ASSERT_EQ(CACHE_OK, ClientGetAllRolesCacheDataSharedMemory(&roleCount, roles.data()));
  ASSERT_EQ(3, roleCount);
  EXPECT_STREQ("R3", roles[2].name);
  RoleNameId found[TQ5ORVCACHE_MAX_USER_ROLES];
  int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
  ASSERT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "alice", &count, found, kFirstFetchMs));
  ASSERT_EQ(2, count);
  EXPECT_STREQ("R1", found[0].name);
  EXPECT_STREQ("ID-R2", found[1].id);
  EXPECT_EQ(std::vector<std::string>{"alice"}, CachedUsers());
  UninitializeTQ5ORVCache();

  tq5test::WriteFileBytes(stop, "");
  ASSERT_EQ(0, otherServer.Wait());
  const std::string fromOther = tq5test::ReadFileBytes(CacheFilePath());
  ASSERT_EQ(initial.size(), fromOther.size());

  // The reverse: this process serves the other's file and writes it back unchanged; a
  // client of the other bitness lists, hits and misses.
  StartServer();
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  EXPECT_EQ(fromOther, tq5test::ReadFileBytes(CacheFilePath()));
  const std::string done = PathInFolder("done");
  EXPECT_EQ(0,
            tq5test::RunPeer(otherPeer_, {"client-expect-roles", "all", "0:R1", "1:R2", "2:R3"}));
  EXPECT_EQ(0, tq5test::RunPeer(otherPeer_, {"lookup-expect", done, "CORP", "alice", "R1", "R2"}));
  EXPECT_EQ(0, tq5test::RunPeer(otherPeer_, {"lookup-expect", done, "CORP", "bob", "R2", "R3"}));
  EXPECT_EQ((std::vector<std::string>{"alice", "bob"}), CachedUsers());
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  const std::string fromThis = tq5test::ReadFileBytes(CacheFilePath());
  ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
  ASSERT_EQ(CACHE_OK, UninitializeTQ5ORVCache());

  // A server of the other bitness takes this one's file over and writes the same bytes.
  std::remove(ready.c_str());
  std::remove(stop.c_str());
  tq5test::Peer nextServer(otherPeer_, {"serve", ready, stop});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  ExpectRegionHolds(fromThis);
  tq5test::WriteFileBytes(stop, "");
  ASSERT_EQ(0, nextServer.Wait());
  EXPECT_EQ(fromThis, tq5test::ReadFileBytes(CacheFilePath()));
}

}  // namespace
