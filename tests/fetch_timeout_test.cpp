// POSIX: the fetch time limit from the registry value ORV_USER_ROLES_TIMEOUT, and its
// cache. Each test has a registry root folder of its own.
#include "directory/fetch_timeout.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "directory/fetch_state.h"
#include "exports/load_hook.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace tq5::directory {
namespace {

namespace fs = std::filesystem;

int keyCounter = 0;

class TimeoutTest : public testing::Test {
 protected:
  void SetUp() override {
    exports::OnProcessAttach();
    version_ = "9.test" + std::to_string(platform::CurrentProcessId()) + "_" +
               std::to_string(++keyCounter);
    tq5test::SetEnv("ZOLMAR_VERSION", version_.c_str());
    tq5test::SetEnv("MERLOC_GROUP_NAME", "Group A");
    root_ = (fs::temp_directory_path() / ("tq5-reg-" + version_)).string();
    fs::create_directories(root_);
    tq5test::SetEnv("TQ5ORVCACHE_REGISTRY_ROOT", root_.c_str());
  }
  void TearDown() override {
    tq5test::SetEnv("ZOLMAR_VERSION", nullptr);
    tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
    chmod(KeyPath().c_str(), 0755);
    fs::remove_all(root_);
    tq5test::SetEnv("TQ5ORVCACHE_REGISTRY_ROOT", nullptr);
  }

  std::string KeyPath() const {
    return root_ + "/SOFTWARE/Brintel/Zolmar/" + version_ + "/Group A";
  }
  std::string ValuePath() const { return KeyPath() + "/" + kUserRolesTimeoutValue; }
  void CreateKey() { fs::create_directories(KeyPath()); }
  void SetText(const std::string& text) { tq5test::WriteFileBytes(ValuePath(), text); }
  void SetDword(uint32_t value) { SetText("dword:" + std::to_string(value) + "\n"); }
  std::string Stored() const {
    std::string text = tq5test::ReadFileBytes(ValuePath());
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  static ResultCode Read(uint32_t* out) {
    *out = 1;
    return ReadUserRolesTimeout(out);
  }

  std::string version_;
  std::string root_;
};

TEST_F(TimeoutTest, MissingSettingsGiveTheDefault) {
  uint32_t limit = 0;
  EXPECT_EQ(ReadUserRolesTimeout(nullptr), CACHE_E_INVALID_POINTER);
  EXPECT_EQ(Read(&limit), CACHE_E_GROUP_KEY_OPEN);  // no key
  EXPECT_EQ(limit, 60000u);
  tq5test::SetEnv("ZOLMAR_VERSION", nullptr);
  EXPECT_EQ(Read(&limit), CACHE_E_NO_GROUP_ENV);
  EXPECT_EQ(limit, 60000u);
  tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
  tq5test::SetEnv("ZOLMAR_VERSION", version_.c_str());
  EXPECT_EQ(Read(&limit), CACHE_E_NO_GROUP_ENV);
  // Names that do not fit the key's 255 characters name no key at all.
  tq5test::SetEnv("MERLOC_GROUP_NAME", std::string(256, 'g').c_str());
  EXPECT_EQ(Read(&limit), CACHE_E_GROUP_KEY_OPEN);
  tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
  ProcessDirectory().cachedUserRolesTimeout.store(0);
  EXPECT_EQ(GetUserRolesTimeout(), 60000);
  EXPECT_EQ(CachedUserRolesTimeout(), 60000);
}

TEST_F(TimeoutTest, ValueIsReadOrCreated) {
  CreateKey();
  uint32_t limit = 0;
  ASSERT_EQ(Read(&limit), CACHE_OK);  // missing: created with the default
  EXPECT_EQ(limit, 60000u);
  EXPECT_EQ(Stored(), "dword:60000");
  SetDword(1500);
  ASSERT_EQ(Read(&limit), CACHE_OK);
  EXPECT_EQ(limit, 1500u);
  SetDword(0);  // 0 means the default, and stays 0
  ASSERT_EQ(Read(&limit), CACHE_OK);
  EXPECT_EQ(limit, 60000u);
  EXPECT_EQ(Stored(), "dword:0");
  SetText("hex:10,27");  // short data is a number padded with zeros
  ASSERT_EQ(Read(&limit), CACHE_OK);
  EXPECT_EQ(limit, 10000u);
  SetText("qword:1500");  // longer than 4 bytes
  EXPECT_EQ(Read(&limit), CACHE_E_TIMEOUT_KEY_OPEN);
  EXPECT_EQ(limit, 60000u);
}

TEST_F(TimeoutTest, CachedLimitIsReadAgainOnlyWhileNotPositive) {
  CreateKey();
  ProcessDirectory().cachedUserRolesTimeout.store(0);
  SetDword(0xFFFFFFFFu);  // negative as a signed number: waits without limit
  EXPECT_EQ(SettleFetchTimeout(0), 0xFFFFFFFFu);
  EXPECT_EQ(CachedUserRolesTimeout(), -1);
  SetDword(0x80000000u);
  EXPECT_EQ(SettleFetchTimeout(-5), 0x80000000u);  // read again
  EXPECT_EQ(SettleFetchTimeout(250), 250u);        // the caller's own leaves the cache alone
  EXPECT_EQ(CachedUserRolesTimeout(), INT32_MIN);
  SetDword(2500);
  EXPECT_EQ(SettleFetchTimeout(0), 2500u);
  SetDword(7000);
  EXPECT_EQ(SettleFetchTimeout(0), 2500u);  // positive now: no further reads
  EXPECT_EQ(GetUserRolesTimeout(), 7000);
  EXPECT_EQ(SettleFetchTimeout(0), 7000u);
}

// The permission bits of a key's folder decide its access even for root.
TEST_F(TimeoutTest, ReadOnlyAndClosedKeys) {
  CreateKey();
  uint32_t limit = 0;
  ASSERT_EQ(chmod(KeyPath().c_str(), 0555), 0);
  EXPECT_EQ(Read(&limit), CACHE_E_TIMEOUT_KEY_OPEN);  // missing, and cannot be created
  EXPECT_EQ(limit, 60000u);
  EXPECT_FALSE(tq5test::FileExists(ValuePath()));
  ASSERT_EQ(chmod(KeyPath().c_str(), 0755), 0);
  SetDword(1500);
  ASSERT_EQ(chmod(KeyPath().c_str(), 0555), 0);
  ASSERT_EQ(Read(&limit), CACHE_OK);
  EXPECT_EQ(limit, 1500u);
  ASSERT_EQ(chmod(KeyPath().c_str(), 0333), 0);  // no read bit for anyone
  EXPECT_EQ(Read(&limit), CACHE_E_GROUP_KEY_OPEN);
}

TEST_F(TimeoutTest, TextFormatAndItsFailures) {
  CreateKey();
  uint32_t limit = 0;
  SetText("  DWORD:0x5dc \r\n");
  ASSERT_EQ(Read(&limit), CACHE_OK);
  EXPECT_EQ(limit, 1500u);
  SetText("sz:");  // one byte of data: 0
  ASSERT_EQ(Read(&limit), CACHE_OK);
  EXPECT_EQ(limit, 60000u);
  for (const char* bad : {"dword:4294967296", "dword:", "60000", "hex:1,", "hex:123", "word:5"}) {
    SetText(bad);
    EXPECT_EQ(Read(&limit), CACHE_E_TIMEOUT_KEY_OPEN) << bad;
  }
  // A subkey holds the value's name, so the value cannot be written.
  fs::remove(ValuePath());
  fs::create_directories(ValuePath());
  EXPECT_EQ(Read(&limit), CACHE_E_TIMEOUT_KEY_CREATE);
  EXPECT_EQ(limit, 60000u);
  // Names match without regard to case, and cannot climb out of the root.
  fs::remove(ValuePath());
  fs::rename(root_ + "/SOFTWARE", root_ + "/Software");
  ASSERT_EQ(Read(&limit), CACHE_OK);
  tq5test::SetEnv("MERLOC_GROUP_NAME", "..");
  EXPECT_EQ(Read(&limit), CACHE_E_GROUP_KEY_OPEN);
}

}  // namespace
}  // namespace tq5::directory
