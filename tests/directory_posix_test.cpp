// POSIX: the directory providers behind the component interface, chosen through
// TQ5ORVCACHE_DIRECTORY: the machine's user and group database, and the directory file.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "directory/fetch_state.h"
#include "exports/load_hook.h"
#include "platform/directory_component.h"
#include "platform/platform.h"
#include "platform/posix/directory_providers_posix.h"
#include "support/directory_hooks.h"
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
  // What the latest fetch of the test returned.
  static FetchedRoles& Got() {
    static FetchedRoles got;
    return got;
  }
  static std::vector<std::string> Roles() {
    std::vector<std::string> roles;
    for (const RoleNameId& role : Got()) {
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
    ASSERT_EQ(FetchUserRoles("ANY-DOMAIN", user.c_str(), 20000, &Got()), CACHE_OK);
    const std::vector<std::string> roles = Roles();
    EXPECT_NE(std::find(roles.begin(), roles.end(), expected), roles.end());
    ASSERT_EQ(FetchUserRoles("another", user.c_str(), 20000, &Got()), CACHE_OK);
    EXPECT_EQ(Roles(), roles);
  }
  EXPECT_EQ(FetchUserRoles("d", "no-such-user.tq5", 20000, &Got()), CACHE_E_USER_FETCH_CALL);
}

// The machine's settings file as an admin edits it: comments, spaces and TABs around names
// and values, and a later line for a name in place of an earlier one.
TEST_F(ProviderTest, TheSettingsFilesLastLineForANameCounts) {
  const std::string folder =
      std::filesystem::temp_directory_path() / ("tq5-settings-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string directory = folder + "/directory.txt", settings = folder + "/tq5.conf";
  tq5test::WriteFileBytes(directory, "CORP\tcarol\tR9\tID9\n");
  tq5test::WriteFileBytes(settings, "directory = file:" + folder +
                                        "/absent.txt\n"
                                        "# directory = nss\n"
                                        " \tdirectory\t=  file:" +
                                        directory + "  # the one\n");
  const char* machine = std::getenv("TQ5ORVCACHE_CONFIG");
  const std::string kept = machine ? machine : "";
  tq5test::SetEnv("TQ5ORVCACHE_CONFIG", settings.c_str());
  Use(nullptr);
  EXPECT_EQ(FetchUserRoles("corp", "CAROL", 20000, &Got()), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"R9=ID9"});
  tq5test::SetEnv("TQ5ORVCACHE_CONFIG", machine ? kept.c_str() : nullptr);
  std::filesystem::remove_all(folder);
}

// A process that has fetched holds its directory object from fetch to fetch; a change of
// the machine's directory setting reaches it at its next fetch, not only new processes.
TEST_F(ProviderTest, AHeldDirectoryFollowsAChangedSetting) {
  const std::string folder =
      std::filesystem::temp_directory_path() / ("tq5-switch-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string a = folder + "/a.txt", b = folder + "/b.txt", settings = folder + "/tq5.conf";
  tq5test::WriteFileBytes(a, "CORP\tcarol\tRA\tIDA\n");
  tq5test::WriteFileBytes(b, "CORP\tdave\tRB\tIDB\n");
  const char* machine = std::getenv("TQ5ORVCACHE_CONFIG");
  const std::string kept = machine ? machine : "";
  tq5test::SetEnv("TQ5ORVCACHE_CONFIG", settings.c_str());
  Use(nullptr);
  tq5test::WriteFileBytes(settings, "directory = file:" + a + "\n");
  EXPECT_EQ(FetchUserRoles("corp", "carol", 20000, &Got()), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"RA=IDA"});
  tq5test::WriteFileBytes(settings, "directory = file:" + b + "\n");
  EXPECT_EQ(FetchUserRoles("corp", "dave", 20000, &Got()), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"RB=IDB"});
  EXPECT_EQ(FetchUserRoles("corp", "carol", 20000, &Got()), CACHE_E_USER_FETCH_CALL);
  tq5test::SetEnv("TQ5ORVCACHE_CONFIG", machine ? kept.c_str() : nullptr);
  std::filesystem::remove_all(folder);
}

// As root: a group and a user with names beyond ASCII, made for the test in the machine's
// database. The user is found by the bytes the caller gives and the group reaches the
// cache as the bytes the database holds, under the C locale as under a UTF-8 one.
TEST_F(ProviderTest, NamesBeyondAsciiPassAsTheDatabasesBytesInAnyLocale) {
  if (geteuid() != 0) GTEST_SKIP() << "adding a user and a group needs root";
  // Another test may be adding accounts at the same time: the tools then find the
  // database locked for a moment.
  static const auto run = [](const std::string& command) {
    for (int attempt = 0; attempt < 50; ++attempt, tq5test::SleepMs(100)) {
      if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
    }
    return false;
  };
  struct Accounts {
    const std::string pid = std::to_string(getpid());
    const std::string group = "ncgrp\xC3\xA9" + pid;
    const std::string user = "j\xC3\xBCrgen" + pid;
    ~Accounts() {
      run("userdel '" + user + "'");
      run("groupdel '" + group + "'");
    }
  } made;
  ASSERT_TRUE(run("groupadd '" + made.group + "'"));
  ASSERT_TRUE(run("useradd --badname --no-create-home --no-user-group -G '" + made.group +
                  "' --shell /usr/sbin/nologin '" + made.user + "'"));
  const group* entry = getgrnam(made.group.c_str());
  ASSERT_NE(entry, nullptr);
  const std::string expected = std::string(entry->gr_name) + "=" + std::to_string(entry->gr_gid);
  Use("nss");
  for (const char* locale : {"C", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
    ASSERT_EQ(FetchUserRoles("ANY", made.user.c_str(), 20000, &Got()), CACHE_OK);
    const std::vector<std::string> roles = Roles();
    EXPECT_NE(std::find(roles.begin(), roles.end(), expected), roles.end());
  }
  std::setlocale(LC_ALL, "C");
}

// Any bytes come back from the wide form exactly, and well-formed UTF-8 widens to its
// characters. Overlong forms, encoded surrogates, values past U+10FFFF and cut sequences
// must travel as escapes, or they would come back as other bytes or not at all.
TEST(ProviderText, AnyBytesComeBackExactlyFromTheWideForm) {
  const std::string samples[] = {
      "\xC0\x80",     "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82x",
      "\xF0\x9F\x98", "\xFF\xFE\x80", "caf\xE9\xC3",      std::string("a\0\xC3\xA9", 4)};
  for (const std::string& bytes : samples) {
    std::string back;
    ASSERT_TRUE(platform::posix::Narrow(platform::posix::Widen(bytes), &back));
    EXPECT_EQ(back, bytes);
  }
  EXPECT_EQ(platform::posix::Widen("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"),
            L"\u00e9\u20ac\U0001F600\U0010FFFF");
}

TEST_F(ProviderTest, UnknownChoiceFailsCreationInsteadOfFallingBack) {
  for (const char* value : {"ldap", "NSS", "file:relative/path", "file:", "nss "}) {
    Use(value);
    EXPECT_EQ(FetchUserRoles("d", "root", 20000, &Got()), CACHE_E_USER_FETCH_CREATE_AUTHZ) << value;
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
  // Written long enough ago (a clock tick and more) that the provider trusts the version
  // it then reads: only the file's number, size or times can tell it of a later change.
  void WriteSettled(const std::string& text) {
    Write(text);
    tq5test::SleepMs(50);
  }
  // Gives `path` the modification time the directory file has now.
  void CopyModificationTime(const std::string& path) {
    struct stat now {};
    ASSERT_EQ(stat(path_.c_str(), &now), 0);
    const timespec times[2] = {now.st_atim, now.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  static ResultCode Fetch(const char* user, uint32_t timeoutMs = 20000) {
    return FetchUserRoles("Plant", user, timeoutMs, &Got());
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
  EXPECT_EQ(Got().data(), nullptr);
  EXPECT_EQ(Fetch("dave"), CACHE_E_USER_FETCH_CALL);
  EXPECT_EQ(Fetch("nobody"), CACHE_E_USER_FETCH_CALL);
  Write("Plant\tnobody\tGuest\tS-7\n");
  ASSERT_EQ(Fetch("nobody"), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"Guest=S-7"});
  EXPECT_EQ(Fetch("alice"), CACHE_E_USER_FETCH_CALL);
}

// Every change below keeps the file's size, so that only its number or its times can
// tell the provider that the parse it keeps is out of date.
// Names with characters of several bytes, and bytes that are not UTF-8 at all, reach the
// cache exactly as the file holds them whatever the locale; only ASCII letters fold, and
// the fields' limit counts bytes, so a long name is refused rather than cut.
TEST_F(FileProviderTest, NamesBeyondAsciiPassAsTheFilesBytesInAnyLocale) {
  std::string fits;  // 31 two-byte characters: 62 bytes, the most a field takes
  for (int i = 0; i < 31; ++i) fits += "\xC3\xA9";
  Write(
      "Plant\tj\xC3\xBCrgen\tncgrp\xC3\xA9\tS-1\n"
      "Plant\tlatin\tcaf\xE9\t" +
      fits +
      "\n"
      "Plant\tlong\tr\t" +
      fits + "x\n");
  for (const char* locale : {"C", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
    ASSERT_EQ(Fetch("J\xC3\xBCRGEN"), CACHE_OK);
    EXPECT_EQ(Roles(), (std::vector<std::string>{"ncgrp\xC3\xA9=S-1"}));
    EXPECT_EQ(Fetch("j\xC3\x9Crgen"), CACHE_E_USER_FETCH_CALL);  // no folding beyond ASCII
    ASSERT_EQ(Fetch("latin"), CACHE_OK);
    EXPECT_EQ(Roles(), (std::vector<std::string>{"caf\xE9=" + fits}));
    EXPECT_EQ(Fetch("long"), CACHE_E_USER_FETCH_NAME_TOO_LONG);  // 32 characters, 63 bytes
  }
  std::setlocale(LC_ALL, "C");
}

TEST_F(FileProviderTest, ReplacedRewrittenOrRetimedFileShowsAtTheNextFetch) {
  const std::string before = "Plant\tu\tOld\tS-1\n";
  const std::string after = "Plant\tu\tNew\tS-2\n";
  WriteSettled(before);
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  // Rewritten in place.
  Write(after);
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"New=S-2"});
  // Rewritten again at once, likely within the clock tick of the last fetch's look.
  Write(before);
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"Old=S-1"});
  // Rewritten in place with its old modification time put back, as a tool that keeps
  // times does: only the change time moves.
  tq5test::SleepMs(50);
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  struct stat old {};
  ASSERT_EQ(stat(path_.c_str(), &old), 0);
  Write(after);
  const timespec times[2] = {old.st_atim, old.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"New=S-2"});
  // Replaced by rename with a file of the same size and modification time.
  tq5test::SleepMs(50);
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  const std::string next = path_ + ".next";
  tq5test::WriteFileBytes(next, before);
  CopyModificationTime(next);
  std::filesystem::rename(next, path_);
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  EXPECT_EQ(Roles(), std::vector<std::string>{"Old=S-1"});
}

TEST_F(FileProviderTest, FileThatCannotBeReadAnyMoreFailsTheNextFetch) {
  WriteSettled("Plant\tu\tR\t1\n");
  ASSERT_EQ(Fetch("u"), CACHE_OK);
  std::filesystem::remove(path_);
  EXPECT_EQ(Fetch("u"), CACHE_E_USER_FETCH_INIT);
  std::filesystem::create_directory(path_);  // opens, but cannot be read, even by root
  EXPECT_EQ(Fetch("u"), CACHE_E_USER_FETCH_INIT);
  std::filesystem::remove(path_);
  Write("Plant\tu\tR\t1\n");
  EXPECT_EQ(Fetch("u"), CACHE_OK);
}

// Two threads ask one object (as a late fetch worker and the next fetch's worker do)
// while the file is replaced version after version: every answer is one whole version,
// never a mix of two or an index still being built.
TEST_F(FileProviderTest, ConcurrentCallsWhileTheFileChangesSeeWholeVersions) {
  constexpr int kUsers = 64;
  constexpr int kRolesPerUser = 8;
  constexpr int kVersions = 120;
  auto version = [](int v) {
    std::string text;
    for (int u = 0; u < kUsers; ++u) {
      for (int k = 0; k < kRolesPerUser; ++k) {
        text += "Plant\tuser" + std::to_string(u) + "\tRole" + std::to_string(k) + "\tv" +
                std::to_string(v) + "\n";
      }
    }
    return text;
  };
  Write(version(0));
  platform::DirectoryObject* object = platform::CreateDirectoryObject();
  ASSERT_NE(object, nullptr);
  std::atomic<bool> done{false};
  std::atomic<int> answers{0};
  std::atomic<int> wrong{0};
  auto ask = [&](int first) {
    for (int i = first; !done.load(); ++i) {
      std::unique_ptr<platform::RoleStrings> names;
      std::unique_ptr<platform::RoleStrings> ids;
      int32_t lower = 0;
      int32_t upper = -1;
      std::wstring id0;
      std::wstring id;
      bool whole = object->GetUserRolesEx(L"PLANT", L"user" + std::to_wstring(i % kUsers), &names,
                                          &ids) >= 0 &&
                   ids->Bounds(&lower, &upper) && upper - lower + 1 == kRolesPerUser &&
                   ids->Element(0, &id0);
      for (int k = 1; whole && k < kRolesPerUser; ++k) whole = ids->Element(k, &id) && id == id0;
      (whole ? answers : wrong).fetch_add(1);
    }
  };
  std::thread one(ask, 0);
  std::thread two(ask, kUsers / 2);
  const std::string next = path_ + ".next";
  for (int v = 1; v <= kVersions; ++v) {
    tq5test::WriteFileBytes(next, version(v));
    std::filesystem::rename(next, path_);
    if (v % 10 == 0) tq5test::SleepMs(5);  // some versions settle and are kept a while
  }
  done = true;
  one.join();
  two.join();
  object->Release();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(answers.load(), 0);
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
  platform::DirectoryObject* first = ProcessDirectory().fetch.authorizationObject;
  ASSERT_EQ(Fetch("u"), CACHE_OK);  // the used object fails, a fresh one answers
  EXPECT_NE(ProcessDirectory().fetch.authorizationObject, first);
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
