// POSIX: the directory providers behind the component interface, chosen through
// TQ5ORVCACHE_DIRECTORY: the machine's user and group database, and the directory file.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "directory/fetch_state.h"
#include "exports/load_hook.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace tq5::directory {
namespace {

class ProviderTest : public testing::Test {
 protected:
  void SetUp() override { exports::OnProcessAttach(); }
  void TearDown() override {
    for (int i = 0; i < 2000 && LateWorkerCount() > 0; ++i) tq5test::SleepMs(5);
    Use(nullptr);
  }
  static void Use(const char* value) {
    tq5test::SetEnv("TQ5ORVCACHE_DIRECTORY", value);
    ForgetDirectoryObject();  // the next fetch creates an object of the new choice
  }
  static std::vector<std::string> Roles() {
    std::vector<std::string> roles;
    for (int32_t i = 0; i < State().fetch.fetchedRoleCount; ++i) {
      const RoleNameId& role = State().fetch.fetchedRoles[i];
      roles.push_back(std::string(role.name) + "=" + role.id);
    }
    return roles;
  }
};

TEST_F(ProviderTest, GroupsOfTheUserAreItsRolesInAnyDomain) {
  const passwd* me = getpwuid(getuid());
  ASSERT_NE(me, nullptr);
  const std::string user = me->pw_name;
  const group* primary = getgrgid(me->pw_gid);
  const std::string expected =
      (primary ? std::string(primary->gr_name) : std::to_string(me->pw_gid)) + "=" +
      std::to_string(me->pw_gid);
  for (const char* value : {static_cast<const char*>(nullptr), "", "nss"}) {
    Use(value);
    ASSERT_EQ(FetchUserRoles("ANY-DOMAIN", user.c_str(), 20000), CACHE_OK);
    const std::vector<std::string> roles = Roles();
    EXPECT_NE(std::find(roles.begin(), roles.end(), expected), roles.end());
    ASSERT_EQ(FetchUserRoles("another", user.c_str(), 20000), CACHE_OK);
    EXPECT_EQ(Roles(), roles);
  }
  EXPECT_EQ(FetchUserRoles("d", "no-such-user.tq5", 20000), CACHE_E_USER_FETCH_CALL);
}

TEST_F(ProviderTest, UnknownChoiceFailsCreationInsteadOfFallingBack) {
  for (const char* value : {"ldap", "NSS", "file:relative/path", "file:", "nss "}) {
    Use(value);
    EXPECT_EQ(FetchUserRoles("d", "root", 20000), CACHE_E_USER_FETCH_CREATE_AUTHZ) << value;
  }
}

// Fetches from a directory file of the test's own.
class FileProviderTest : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    path_ = (std::filesystem::temp_directory_path() /
             ("tq5-dir-" + std::to_string(platform::CurrentProcessId()) + "-" +
              testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt"))
                .string();
    Write("");
    Use(("file:" + path_).c_str());
  }
  void TearDown() override {
    ProviderTest::TearDown();
    std::filesystem::remove(path_);
  }
  void Write(const std::string& text) { tq5test::WriteFileBytes(path_, text); }
  static ResultCode Fetch(const char* user, uint32_t timeoutMs = 20000) {
    return FetchUserRoles("Plant", user, timeoutMs);
  }

  std::string path_;
};

TEST_F(FileProviderTest, AnswersFromTheFileAsItIsAtEachFetch) {
  Write(
      "Plant\talice\tOperator\tS-1\nplant\tAlice\tEngineer\tS-2\nPlant\tbob\n"
      "Plant\tdave\t@fail\n");
  ASSERT_EQ(Fetch("ALICE"), CACHE_OK);
  EXPECT_EQ(Roles(), (std::vector<std::string>{"Operator=S-1", "Engineer=S-2"}));
  ASSERT_EQ(Fetch("bob"), CACHE_OK);
  EXPECT_EQ(State().fetch.fetchedRoles, nullptr);
  EXPECT_EQ(Fetch("dave"), CACHE_E_USER_FETCH_CALL);
  EXPECT_EQ(Fetch("nobody"), CACHE_E_USER_FETCH_CALL);
  Write("Plant\tnobody\tGuest\tS-7\n");
  ASSERT_EQ(Fetch("nobody"), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"Guest=S-7"});
  EXPECT_EQ(Fetch("alice"), CACHE_E_USER_FETCH_CALL);
}

TEST_F(FileProviderTest, ArrayShapesReachTheirCodes) {
  const std::string tooLong(63, 'x');
  Write(
      "Plant\tone\tA\t1\nPlant\tone\tB\t2\nPlant\tone\t@lower-bound\t1\n"
      "Plant\tmore\tA\t1\nPlant\tmore\t@extra-name\tB\n"
      "Plant\tnone\tA\t1\nPlant\tnone\t@not-array\tids\n"
      "Plant\tlong\t" +
      tooLong + "\t1\n");
  ASSERT_EQ(Fetch("one"), CACHE_OK);
  EXPECT_EQ(Roles(), (std::vector<std::string>{"A=1", "B=2"}));
  EXPECT_EQ(Fetch("more"), CACHE_E_USER_FETCH_SIZE_MISMATCH);
  ASSERT_EQ(Fetch("none"), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{});
  EXPECT_EQ(Fetch("long"), CACHE_E_USER_FETCH_NAME_TOO_LONG);
}

TEST_F(FileProviderTest, ComponentFailuresReachTheirCodes) {
  Write("Plant\tu\tR\t1\n@init-fail\tused\n");
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  platform::DirectoryObject* first = State().fetch.authorizationObject;
  ASSERT_EQ(Fetch("u"), CACHE_OK);  // the used object fails, a fresh one answers
  EXPECT_NE(State().fetch.authorizationObject, first);
  Write("Plant\tu\tR\t1\n@init-fail\talways\n");
  EXPECT_EQ(Fetch("u"), CACHE_E_USER_FETCH_INIT);
  Write("Plant\tu\tR\t1\nnot a line\n");
  EXPECT_EQ(Fetch("u"), CACHE_E_USER_FETCH_INIT);
  Write("Plant\tu\tR\t1\n@create-fail\n");
  EXPECT_EQ(Fetch("u"), CACHE_E_USER_FETCH_CREATE_AUTHZ);
  Write("Plant\tu\tR\t1\n");
  EXPECT_EQ(Fetch("u"), CACHE_OK);
}

TEST_F(FileProviderTest, SlowAnswerTimesOutWithoutDisturbingTheNextFetch) {
  Write("Plant\tslow\tLate\t9\nPlant\tslow\t@delay\t1000\nPlant\tquick\tOn-time\t1\n");
  EXPECT_EQ(Fetch("slow", 100), CACHE_E_FETCH_TIMEOUT);
  ASSERT_EQ(Fetch("quick"), CACHE_OK);
  for (int i = 0; i < 2000 && LateWorkerCount() > 0; ++i) tq5test::SleepMs(5);
  EXPECT_EQ(Roles(), std::vector<std::string>{"On-time=1"});
}

}  // namespace
}  // namespace tq5::directory
