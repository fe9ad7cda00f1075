// The cache file: where it lives, the start-up from it (and from defaults whenever it
// cannot be trusted), and a write that never destroys the previous file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tq5orvcache.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using tq5test::ReadFileBytes;
using tq5test::WriteFileBytes;

constexpr std::size_t kDefaultRegionSize = 1351712;

std::size_t RegionBytes(int32_t roles, int32_t users) {
  return 32 + 144 * static_cast<std::size_t>(roles) + 1176 * static_cast<std::size_t>(users);
}

// A cache file image with the given header and pseudo-random table bytes.
std::string Image(const CacheHeader& header, unsigned seed = 1) {
  std::string bytes = tq5test::RegionImage(header);
  std::mt19937 random(seed);
  for (std::size_t i = sizeof header; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(random());
  }
  return bytes;
}

CacheHeader SmallHeader() {
  CacheHeader h{};
  h.roleCapacity = 2;
  h.roleHighWater = 2;
  h.roleActiveCount = 1;
  h.userCapacity = 1;
  h.userHighWater = 1;
  h.userActiveCount = 1;
  h.autoCommitRoles = 0;
  h.configValue = 12345;
  return h;
}

class CacheFile : public tq5test::CacheTest {
 protected:
  // Starts a server from the cache file, writes the region back, stops; the image.
  std::string RoundTrip() {
    EXPECT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
    EXPECT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
    EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
    EXPECT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
    return ReadFileBytes(CacheFilePath());
  }

  void ExpectDefaultRegionFrom(const std::string& fileBytes) {
    WriteFileBytes(CacheFilePath(), fileBytes);
    const std::string image = RoundTrip();
    ASSERT_EQ(kDefaultRegionSize, image.size());
    CacheHeader header{};
    std::memcpy(&header, image.data(), sizeof header);
    EXPECT_EQ(1024, header.roleCapacity);
    EXPECT_EQ(0, header.roleHighWater);
    EXPECT_EQ(0, header.roleActiveCount);
    EXPECT_EQ(1024, header.userCapacity);
    EXPECT_EQ(0, header.userHighWater);
    EXPECT_EQ(0, header.userActiveCount);
    EXPECT_EQ(1, header.autoCommitRoles);
    EXPECT_EQ(300, header.configValue);
    EXPECT_EQ(std::string(image.size() - 32, '\0'), image.substr(32)) << "tables not empty";
  }
};

TEST_F(CacheFile, WithoutAFolderTheRegionIsDefaultAndCannotBeWritten) {
  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", nullptr);
  StartServer();
  int32_t roles = 0, users = 0;
  EXPECT_EQ(CACHE_OK, GetRoleProperties(&roles, nullptr, nullptr));
  EXPECT_EQ(CACHE_OK, GetUserProperties(&users, nullptr, nullptr));
  EXPECT_EQ(kDefaultRegionSize, RegionBytes(roles, users));
  EXPECT_EQ(CACHE_E_FILE_CREATE, WriteCacheDataToFile());
}

TEST_F(CacheFile, PathMayHaveAtMost255Characters) {
  const std::size_t fileNameLength = 1 + std::strlen("TQ5ORVCACHE.dat");
  ASSERT_LT(folder_.size() + 1 + fileNameLength, 255u);
  const std::string exact =
      folder_ + "/" + std::string(255 - fileNameLength - folder_.size() - 1, 'a');
  const std::string tooLong = exact + "b";
  fs::create_directories(exact);
  fs::create_directories(tooLong);
  StartServer();

  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", exact.c_str());
  EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
  EXPECT_EQ(kDefaultRegionSize, fs::file_size(fs::path(exact) / "TQ5ORVCACHE.dat"));

  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", tooLong.c_str());
  EXPECT_EQ(CACHE_E_FILE_CREATE, WriteCacheDataToFile());
  EXPECT_FALSE(fs::exists(fs::path(tooLong) / "TQ5ORVCACHE.dat"));
}

TEST_F(CacheFile, StartUpTakesTheFilesHeaderAndTablesAndIgnoresTrailingBytes) {
  const std::string image = Image(SmallHeader());
  ASSERT_EQ(1496u, image.size());
  WriteFileBytes(CacheFilePath(), image + "trailing bytes");
  EXPECT_EQ(image, RoundTrip());

  int32_t config = 0;
  ASSERT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
  EXPECT_EQ(CACHE_OK, GetConfigurationData(nullptr, &config));
  EXPECT_EQ(12345, config);
}

TEST_F(CacheFile, RestartGivesAByteIdenticalRegion) {
  StartServer();
  ASSERT_EQ(CACHE_OK, PutConfigurationData(0, 99));
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  const std::string first = ReadFileBytes(CacheFilePath());
  ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
  EXPECT_EQ(first, RoundTrip());

  // A full-size image with arbitrary tables survives a restart byte for byte too.
  CacheHeader header = SmallHeader();
  header.roleCapacity = 1024;
  header.userCapacity = 1024;
  const std::string big = Image(header, 7);
  WriteFileBytes(CacheFilePath(), big);
  EXPECT_EQ(big, RoundTrip());
}

TEST_F(CacheFile, DamagedFilesGiveTheDefaultRegion) {
  const std::string good = Image(SmallHeader());
  ExpectDefaultRegionFrom(good.substr(0, 31));               // short header
  ExpectDefaultRegionFrom(good.substr(0, good.size() - 1));  // truncated tables
  ExpectDefaultRegionFrom("");

  auto with = [](void (*change)(CacheHeader&)) {
    CacheHeader h = SmallHeader();
    change(h);
    return Image(h);
  };
  ExpectDefaultRegionFrom(with([](CacheHeader& h) { h.roleCapacity = -1; }));
  ExpectDefaultRegionFrom(with([](CacheHeader& h) { h.userHighWater = -1; }));
  ExpectDefaultRegionFrom(with([](CacheHeader& h) { h.roleHighWater = 3; }));
  ExpectDefaultRegionFrom(with([](CacheHeader& h) { h.userActiveCount = 2; }));
  // Tables beyond 32 bits, announced by a short file: never allocated, never built.
  CacheHeader huge = SmallHeader();
  huge.roleCapacity = INT32_MAX;
  huge.userCapacity = INT32_MAX;
  std::string header(sizeof huge, '\0');
  std::memcpy(header.data(), &huge, sizeof huge);
  ExpectDefaultRegionFrom(header + std::string(4096, 'x'));
  huge.roleCapacity = 20000000;  // fits 32 bits, but the file is far too short
  huge.userCapacity = 0;
  huge.roleHighWater = huge.roleActiveCount = huge.userHighWater = huge.userActiveCount = 0;
  std::memcpy(header.data(), &huge, sizeof huge);
  ExpectDefaultRegionFrom(header + std::string(4096, 'x'));
}

TEST_F(CacheFile, EmptyRegionOfZeroCapacitiesIsJustAHeader) {
  CacheHeader h{};
  h.autoCommitRoles = 1;
  h.configValue = 3;
  const std::string image = Image(h);
  ASSERT_EQ(32u, image.size());
  WriteFileBytes(CacheFilePath(), image);
  EXPECT_EQ(image, RoundTrip());
}

TEST_F(CacheFile, FailedWritesLeaveThePreviousFileIntact) {
  const std::string previous = Image(SmallHeader());
  WriteFileBytes(CacheFilePath(), previous);
  // No region in this process.
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  EXPECT_EQ(CACHE_E_REGION_NOT_MAPPED, WriteCacheDataToFile());
  EXPECT_EQ(previous, ReadFileBytes(CacheFilePath()));
  // And no temporary file is left behind.
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(1u, files);
}

TEST_F(CacheFile, AWriterRemovesTheTemporaryFilesOfDeadWritersOnly) {
  auto temporary = [this](unsigned long writer) {
    char name[16];
    std::snprintf(name, sizeof name, "TQ5%08lX.tmp", writer & 0xFFFFFFFFul);
    return PathInFolder(name);
  };
  // Numbers no process has; 0 and 0xFFFFFFFF would name process groups to kill().
  std::vector<std::string> dead = {temporary(0), temporary(0xFFFFFFFF),
                                   PathInFolder("TQ57ffffffc.tmp")};
#ifndef _WIN32
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  dead.push_back(temporary(static_cast<unsigned long>(child)));
#endif
  // This process runs; the others are not named as a writer names its file.
  const std::vector<std::string> kept = {
      temporary(tq5test::ProcessId()), PathInFolder("TQ5FFFFFFF.tmp"),
      PathInFolder("TQ5FFFFFFFG.tmp"), PathInFolder("TQ5FFFFFFFF.tmp.old")};
  for (const std::string& path : dead) WriteFileBytes(path, "a partial image");
  for (const std::string& path : kept) WriteFileBytes(path, "a partial image");

  // The writer is a process of its own, for which this one is a running writer.
  const std::string ready = PathInFolder("ready");
  const std::string stop = PathInFolder("stop");
  tq5test::Peer server({"serve", ready, stop});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  WriteFileBytes(stop, "");
  ASSERT_EQ(0, server.Wait());

  EXPECT_EQ(kDefaultRegionSize, fs::file_size(CacheFilePath()));
  for (const std::string& path : dead) EXPECT_FALSE(tq5test::FileExists(path)) << path;
  for (const std::string& path : kept) EXPECT_TRUE(tq5test::FileExists(path)) << path;
}

#ifndef _WIN32
TEST_F(CacheFile, AWriteThatRunsOutOfSpaceKeepsThePreviousFile) {
  StartServer();
  const std::string previous = Image(SmallHeader());
  WriteFileBytes(CacheFilePath(), previous);
  // The child may write only a few kilobytes: the full image cannot be written.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(-WriteCacheDataToFile());
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(-CACHE_E_FILE_WRITE, WEXITSTATUS(status));
  EXPECT_EQ(previous, ReadFileBytes(CacheFilePath()));
}
#endif

// Lets every account of the machine add and remove files in `folder`.
void OpenToEveryone(const std::string& folder) {
#ifdef _WIN32
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, &descriptor));
  char everyone[] = "EVERYONE";
  EXPLICIT_ACCESSA entry{};
  entry.grfAccessPermissions = FILE_ALL_ACCESS;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.ptstrName = everyone;
  PACL opened = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, SetEntriesInAclA(1, &entry, dacl, &opened));
  ASSERT_EQ(ERROR_SUCCESS,
            SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, opened, nullptr));
  LocalFree(opened);
  LocalFree(descriptor);
#else
  ASSERT_EQ(0, chmod(folder.c_str(), 0777));
#endif
}

// Whoever may write the cache folder could put a link or a file of their own where the
// server writes and reads. The writer's temporary file is always its own new file, and a
// folder that others may write is used only when the machine accepts it.
TEST_F(CacheFile, NoPlantedLinkOrSharedFolderDecidesWhatIsWrittenOrRead) {
#ifndef _WIN32
  // A link under the name the temporary file once had: its target is not written, and
  // the cache file becomes a file of the writer's, not the link.
  const std::string target = PathInFolder("target");
  WriteFileBytes(target, "not the cache's");
  char name[32];
  std::snprintf(name, sizeof name, "TQ5%08lX.tmp", tq5test::ProcessId() & 0xFFFFFFFFul);
  ASSERT_EQ(0, symlink(target.c_str(), PathInFolder(name).c_str()));
  StartServer();
  EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
  EXPECT_TRUE(ReadFileBytes(target) == "not the cache's") << "the link's target was written";
  EXPECT_FALSE(fs::is_symlink(CacheFilePath()));
  EXPECT_EQ(kDefaultRegionSize, fs::file_size(CacheFilePath()));
  ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
#endif
  // In a folder every account may write, a file found there is not read (the region
  // starts from the defaults) and none is written, until the machine accepts the folder.
  const std::string planted = Image(SmallHeader());
  WriteFileBytes(CacheFilePath(), planted);
  OpenToEveryone(folder_);
  StartServer();
  int32_t roleCapacity = 0;
  EXPECT_EQ(CACHE_OK, GetRoleProperties(&roleCapacity, nullptr, nullptr));
  EXPECT_EQ(1024, roleCapacity);
  EXPECT_EQ(CACHE_E_FILE_CREATE, WriteCacheDataToFile());
  EXPECT_TRUE(planted == ReadFileBytes(CacheFilePath())) << "the planted file was replaced";
  tq5test::SetEnv("TQ5ORVCACHE_SHARED_CACHE_FOLDER", "yes");
  EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
  tq5test::SetEnv("TQ5ORVCACHE_SHARED_CACHE_FOLDER", nullptr);
  EXPECT_EQ(kDefaultRegionSize, fs::file_size(CacheFilePath()));
}

}  // namespace
