// The cache file's write when a step of it fails or the region's header is damaged:
// the previous file stays byte for byte, no temporary file is left, and the result
// says why.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "region/region_state.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

namespace {

namespace fs = std::filesystem;
using tq5::platform::FileCalls;
using tq5::platform::FileHandle;
using tq5test::ReadFileBytes;

// The system's own calls, for replacements that fail only after doing the real work.
FileCalls systemCalls;

// Fails as a system call does, leaving a reason of its own for the failure report.
#ifdef _WIN32
constexpr long kReason = ERROR_DISK_FULL;
bool Fail() {
  SetLastError(ERROR_DISK_FULL);
  return false;
}
#else
constexpr long kReason = EIO;
bool Fail() {
  errno = EIO;
  return false;
}
#endif

class CacheFileWrite : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    systemCalls = tq5::platform::Files();
    StartServer();
    ASSERT_EQ(CACHE_OK, PutConfigurationData(0, 7));
    ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
    previous_ = ReadFileBytes(CacheFilePath());
    // The next image differs from the file, so that a replaced file shows.
    ASSERT_EQ(CACHE_OK, PutConfigurationData(1, 8));
  }
  void TearDown() override {
    tq5::platform::ReplaceFileCalls(systemCalls);
    CacheTest::TearDown();
  }

  void ExpectPreviousFileAlone() {
    // Compared as a whole, so that a failure does not print a megabyte of bytes.
    EXPECT_TRUE(previous_ == ReadFileBytes(CacheFilePath())) << "the cache file changed";
    ExpectNoTemporaryFile();
  }
  void ExpectNoTemporaryFile() {
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      EXPECT_EQ("TQ5ORVCACHE.dat", entry.path().filename().string());
      ++files;
    }
    EXPECT_EQ(1u, files);
  }

  std::string previous_;
};

TEST_F(CacheFileWrite, AFailedStepKeepsThePreviousFile) {
  const tq5::platform::FileCallNames& names = tq5::platform::kFileCallNames;
  struct Step {
    const char* name;
    void (*fail)(FileCalls&);
  };
  const Step steps[] = {
      {names.write,
       [](FileCalls& c) { c.write = [](FileHandle, const void*, std::size_t) { return Fail(); }; }},
      {names.sync, [](FileCalls& c) { c.sync = [](FileHandle) { return Fail(); }; }},
      {names.close,
       [](FileCalls& c) {
         c.close = [](FileHandle file) {
           systemCalls.close(file);
           return Fail();
         };
       }},
      {names.rename,
       [](FileCalls& c) { c.rename = [](const char*, const char*) { return Fail(); }; }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    FileCalls calls = systemCalls;
    step.fail(calls);
    tq5::platform::ReplaceFileCalls(calls);
    tq5::platform::ClearLastFailure();
    EXPECT_EQ(CACHE_E_FILE_WRITE, WriteCacheDataToFile());
    tq5::platform::ReplaceFileCalls(systemCalls);
    ExpectPreviousFileAlone();
    // The failure names the step that failed, on the temporary file, with the reason
    // the system gave, not one a later clean-up call left behind.
    const tq5::platform::Failure& failure = tq5::platform::LastFailure();
    EXPECT_EQ(CACHE_E_FILE_WRITE, failure.code);
    EXPECT_EQ(0u, failure.call.find(std::string(step.name) + "(" + folder_)) << failure.call;
    EXPECT_EQ(kReason, failure.systemError);
    EXPECT_EQ(tq5::platform::SystemErrorText(kReason), failure.reason);
  }

  FileCalls calls = systemCalls;
  calls.create = [](const char*, const tq5::platform::ObjectAccess&) {
    return tq5::platform::kNoFile;
  };
  tq5::platform::ReplaceFileCalls(calls);
  EXPECT_EQ(CACHE_E_FILE_CREATE, WriteCacheDataToFile());
  ExpectPreviousFileAlone();

  // A rename that is not known to be on the disk is no success either.
  calls = systemCalls;
  calls.syncFolder = [](const char*) { return false; };
  tq5::platform::ReplaceFileCalls(calls);
  EXPECT_EQ(CACHE_E_FILE_WRITE, WriteCacheDataToFile());
  ExpectNoTemporaryFile();

  tq5::platform::ReplaceFileCalls(systemCalls);
  EXPECT_EQ(CACHE_OK, WriteCacheDataToFile());
  EXPECT_FALSE(previous_ == ReadFileBytes(CacheFilePath())) << "the write changed nothing";
}

TEST_F(CacheFileWrite, ARegionTheStartUpWouldRejectNeverReplacesTheFile) {
  CacheHeader& header = tq5::region::ProcessRegion().regionView.header();
  const CacheHeader good = header;
  void (*const damages[])(CacheHeader&) = {
      [](CacheHeader& h) { h.roleHighWater = h.roleCapacity + 1; },
      [](CacheHeader& h) { h.roleActiveCount = h.roleHighWater + 1; },
      [](CacheHeader& h) { h.userHighWater = -1; },
      [](CacheHeader& h) { h.userCapacity = -1; },
      // Valid capacities whose tables lie beyond the view.
      [](CacheHeader& h) { h.roleCapacity = 2048; },
      // A header that a start-up takes, but not the region's: its tables would be lost.
      [](CacheHeader& h) { h = CacheHeader{}; },
      [](CacheHeader& h) {
        h = CacheHeader{};
        h.roleCapacity = 1;
      },
  };
  for (auto damage : damages) {
    header = good;
    damage(header);
    EXPECT_EQ(CACHE_E_CORRUPTED, WriteCacheDataToFile());
    ExpectPreviousFileAlone();
  }
  header = good;
}

// The clean-up after a failed write and the start-up's read go through the same calls:
// a clean-up that fails as well leaves the temporary file (for a later writer) and the
// write's own reason; a read that fails part-way starts the region from the defaults,
// never from part of the file.
TEST_F(CacheFileWrite, TheCleanUpAndTheReadGoThroughTheFileCalls) {
  FileCalls calls = systemCalls;
  calls.sync = [](FileHandle) { return Fail(); };
  calls.remove = [](const char*) { return false; };
  tq5::platform::ReplaceFileCalls(calls);
  EXPECT_EQ(CACHE_E_FILE_WRITE, WriteCacheDataToFile());
  tq5::platform::ReplaceFileCalls(systemCalls);
  EXPECT_EQ(kReason, tq5::platform::LastFailure().systemError);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    names.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(2u, names.size());
  for (const std::string& name : names) {
    if (name != "TQ5ORVCACHE.dat") fs::remove(fs::path(folder_) / name);
  }
  ExpectPreviousFileAlone();

  // The file holds 0 and 7; the region's defaults are 1 and 300.
  ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
  calls = systemCalls;
  calls.read = [](FileHandle file, void* bytes, std::size_t size, std::size_t* got) {
    return size > sizeof(CacheHeader) ? Fail() : systemCalls.read(file, bytes, size, got);
  };
  tq5::platform::ReplaceFileCalls(calls);
  ASSERT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
  tq5::platform::ReplaceFileCalls(systemCalls);
  int32_t autoCommit = 0, configValue = 0;
  ASSERT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &configValue));
  EXPECT_EQ(1, autoCommit);
  EXPECT_EQ(300, configValue);
  ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory());
  ASSERT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
  ASSERT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &configValue));
  EXPECT_EQ(7, configValue);  // read whole, the file is taken
}

}  // namespace
