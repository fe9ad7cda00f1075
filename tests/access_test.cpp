// The restricted access mode: who may use the cache's objects and read its file.
#include <gtest/gtest.h>

#include <string>

#include "platform/object_access.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>
#else
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#endif

namespace {

using tq5test::CacheTest;
using tq5test::SetEnv;

class AccessTest : public CacheTest {
 protected:
  void TearDown() override {
    CacheTest::TearDown();
    SetEnv("TQ5ORVCACHE_ACCESS", nullptr);
  }
};

TEST_F(AccessTest, ServerStartFailsWithTheReasonWhenTheSettingNamesNoGroup) {
  SetEnv("TQ5ORVCACHE_ACCESS", "group:tq5-no-such-group");
  EXPECT_EQ(CACHE_E_MUTEX_CREATE, InitializeTQ5ORVCacheServer());
  EXPECT_NE(tq5::platform::TakeAccessProblem().find("tq5-no-such-group"), std::string::npos);

  SetEnv("TQ5ORVCACHE_ACCESS", "staff");  // neither form
  EXPECT_EQ(CACHE_E_MUTEX_CREATE, InitializeTQ5ORVCacheServer());
  EXPECT_NE(tq5::platform::TakeAccessProblem().find("group:NAME"), std::string::npos);
  // A group with an empty name is no group; the prefix is matched in any letter case,
  // and the reason is the thread's latest failure as well.
  SetEnv("TQ5ORVCACHE_ACCESS", "group:");
  EXPECT_EQ(CACHE_E_MUTEX_CREATE, InitializeTQ5ORVCacheServer());
  EXPECT_NE(tq5::platform::TakeAccessProblem().find("group:NAME"), std::string::npos);
  SetEnv("TQ5ORVCACHE_ACCESS", "GROUP:tq5-no-such-group");
  EXPECT_EQ(CACHE_E_MUTEX_CREATE, InitializeTQ5ORVCacheServer());
  EXPECT_NE(tq5::platform::LastFailure().reason.find("tq5-no-such-group"), std::string::npos);
  tq5::platform::TakeAccessProblem();
  // Nothing was created: a client finds no mutex.
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, InitializeTQ5ORVCache());
}

#ifndef _WIN32

// A group and a user outside it, made for one test and removed with it.
class TestAccounts {
 public:
  TestAccounts()
      : group_("tq5g" + std::to_string(getpid())), user_("tq5u" + std::to_string(getpid())) {
    Run("groupadd " + group_);
    Run("useradd --no-create-home --no-user-group --shell /usr/sbin/nologin " + user_);
    const struct group* g = getgrnam(group_.c_str());
    const struct passwd* u = getpwnam(user_.c_str());
    made_ = g && u;
    if (g) groupId_ = g->gr_gid;
    if (u) userId_ = u->pw_uid, userGroupId_ = u->pw_gid;
  }
  ~TestAccounts() {
    Run("userdel " + user_);
    Run("groupdel " + group_);
  }
  bool made() const { return made_; }
  const std::string& group() const { return group_; }
  gid_t groupId() const { return groupId_; }

  // Runs the peer's access probe as the user, in the group or outside it; its line.
  std::string Probe(bool member, const std::string& cacheFile) const {
    int out[2];
    if (pipe(out) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      const gid_t gid = member ? groupId_ : userGroupId_;
      if (setgroups(member ? 1 : 0, &gid) != 0 || setgid(gid) != 0 || setuid(userId_) != 0) {
        _exit(120);
      }
      const std::string peer = std::string(PeerDir()) + "/tq5_peer";
      execl(peer.c_str(), peer.c_str(), "access-probe", cacheFile.c_str(), nullptr);
      _exit(121);
    }
    close(out[1]);
    std::string line;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) line.append(buffer, n);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return "peer ended with " + std::to_string(status);
    }
    return line;
  }

  // Runs `body` in a child process as the user, outside the group; the text it gives.
  std::string RunAsUser(const std::function<std::string()>& body) const {
    int out[2];
    if (pipe(out) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
      close(out[0]);
      if (setgroups(0, nullptr) != 0 || setgid(userGroupId_) != 0 || setuid(userId_) != 0) {
        _exit(120);
      }
      const std::string text = body();
      _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 121);
    }
    close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0
               ? text
               : "child ended with " + std::to_string(status);
  }

  static std::string ProgramDir() { return PeerDir(); }

 private:
  static void Run(const std::string& command) {
    [[maybe_unused]] const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  }
  static std::string PeerDir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe(path, n > 0 ? static_cast<std::size_t>(n) : 0);
    return exe.substr(0, exe.find_last_of('/'));
  }

  std::string group_, user_;
  bool made_ = false;
  gid_t groupId_ = 0, userGroupId_ = 0;
  uid_t userId_ = 0;
};

void ExpectOwnedByGroup(const std::string& path, gid_t group, mode_t mode) {
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st)) << path;
  EXPECT_EQ(group, st.st_gid) << path;
  EXPECT_EQ(mode, st.st_mode & 0777) << path;
}

TEST_F(AccessTest, OnlyMembersOfTheGroupLookUpListAndWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "making a test user and group needs root";
  TestAccounts accounts;
  ASSERT_TRUE(accounts.made()) << "groupadd/useradd failed";
  SetEnv("TQ5ORVCACHE_ACCESS", ("group:" + accounts.group()).c_str());
  StartServer();
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());

  ExpectOwnedByGroup("/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE_MUTEX", accounts.groupId(), 0660);
  ExpectOwnedByGroup("/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE", accounts.groupId(), 0660);
  ExpectOwnedByGroup("/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE_STATS", accounts.groupId(), 0660);
  ExpectOwnedByGroup("/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE_INDEX", accounts.groupId(), 0660);
  ExpectOwnedByGroup(CacheFilePath(), accounts.groupId(), 0640);

  // Outside the group: no call gets the mutex, so none touches anything, and the file
  // stays closed.
  EXPECT_EQ("-141 -141 -141 -141 0\n", accounts.Probe(false, CacheFilePath()));
  int32_t autoCommit = 0, configValue = 0;
  ASSERT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &configValue));
  EXPECT_NE(4242, configValue);

  // A member: everything works, and its write reaches the server's region.
  EXPECT_EQ("0 0 -113 0 1\n", accounts.Probe(true, CacheFilePath()));
  ASSERT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &configValue));
  EXPECT_EQ(4242, configValue);
}

// A process of the account "nobody" that puts an object under the region's name before
// any server, and holds locks on its first two bytes as a server once held them on its
// own region; it lets go when destroyed.
class Squatter {
 public:
  explicit Squatter(const std::string& name) {
    const struct passwd* nobody = getpwnam("nobody");
    int ready[2], release[2];
    if (!nobody || pipe(ready) != 0 || pipe(release) != 0) return;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    child_ = fork();
    if (child_ == 0) {
      close(ready[0]);
      close(release[1]);
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(120);
      const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_len = 1;
      if (fd < 0 || fcntl(fd, F_OFD_SETLK, &lock) != 0) _exit(121);
      lock.l_start = 1;
      if (fcntl(fd, F_SETLK, &lock) != 0) _exit(122);
      const char byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(123);
      char any = 0;
      [[maybe_unused]] const ssize_t n = read(release[0], &any, 1);  // until released
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char byte = 0;
    squatting_ = child_ > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~Squatter() {
    if (release_ >= 0) close(release_);
    if (child_ > 0) waitpid(child_, nullptr, 0);
  }
  bool squatting() const { return squatting_; }

 private:
  pid_t child_ = -1;
  int release_ = -1;
  bool squatting_ = false;
};

// An object that another account put under the region's name, locked or not, is no
// server's: a server that may not remove it says whose it is and how it goes, the admin
// command removes it, and a root server replaces it.
TEST_F(AccessTest, AnObjectSquattingTheRegionsNameIsNoServersAndCanBeRemoved) {
  if (geteuid() != 0) GTEST_SKIP() << "making a test user needs root";
  TestAccounts accounts;
  ASSERT_TRUE(accounts.made()) << "groupadd/useradd failed";
  const std::string region = "/" + prefix_ + "ZOLMAR_ORVCACHE";
  {
    Squatter squatter(region);
    ASSERT_TRUE(squatter.squatting());
    const std::string refusal = accounts.RunAsUser([] {
      ResultCode rc = InitializeTQ5ORVCacheServer();
      if (rc == CACHE_OK) rc = InitializeCacheDataSharedMemory();
      return std::to_string(rc) + " " + tq5::platform::TakeAccessProblem();
    });
    EXPECT_EQ(0u, refusal.rfind(std::to_string(CACHE_E_CREATE_MAPPING) + " ", 0)) << refusal;
    EXPECT_NE(std::string::npos, refusal.find("nobody")) << refusal;
    EXPECT_NE(std::string::npos, refusal.find("orvcache cleanup")) << refusal;

    const std::string cleanup = TestAccounts::ProgramDir() + "/orvcache cleanup 2>&1";
    FILE* run = popen(cleanup.c_str(), "r");
    ASSERT_NE(nullptr, run);
    std::string output;
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, run)) > 0;) output.append(buffer, n);
    EXPECT_EQ(0, pclose(run)) << output;
    EXPECT_NE(std::string::npos, output.find("removed region object")) << output;
    struct stat st {};
    EXPECT_NE(0, stat(("/dev/shm" + region).c_str(), &st)) << output;
  }
  Squatter again(region);
  ASSERT_TRUE(again.squatting());
  StartServer();
}

#else

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "?";
  std::string result = text;
  LocalFree(text);
  return result;
}

// The DACL of the named object read back: "SID MASK" per allowed entry, sorted; "null"
// for a null DACL.
std::vector<std::string> DaclOf(HANDLE handle) {
  std::vector<std::string> entries;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (handle == nullptr) return {"not opened"};
  if (GetSecurityInfo(handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    CloseHandle(handle);
    return {"unreadable"};
  }
  if (dacl == nullptr) entries.push_back("null");
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    if (static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      entries.push_back("not an allow entry");
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    entries.push_back(SidText(&allowed->SidStart) + " " + std::to_string(allowed->Mask));
  }
  LocalFree(descriptor);
  CloseHandle(handle);
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<std::string> Expected(DWORD rights) {
  const std::string mask = " " + std::to_string(rights);
  return {"S-1-5-18" + mask, "S-1-5-32-544" + mask, "S-1-5-32-545" + mask};
}

TEST_F(AccessTest, RestrictedObjectsGrantExactlySystemAdministratorsAndTheGroup) {
  using namespace tq5::platform;
  ObjectAccess access;
  access.restricted = true;
  std::string why;
  // By name as well as by SID; a name the machine does not know is refused.
  ASSERT_TRUE(ResolveAccessGroup("Administrators", &access, &why)) << why;
  EXPECT_EQ("S-1-5-32-544", SidText(access.groupSid.data()));
  EXPECT_FALSE(ResolveAccessGroup("tq5-no-such-group", &access, &why));
  EXPECT_FALSE(ResolveAccessGroup("S-1-x", &access, &why));
  ASSERT_TRUE(ResolveAccessGroup("S-1-5-32-545", &access, &why)) << why;

  GlobalMutex* mutex = nullptr;
  ASSERT_EQ(CACHE_OK, CreateGlobalMutex(&mutex, access).code());
  Section* section = nullptr;
  ASSERT_EQ(CACHE_OK, CreateSection(4096, &section, access).code());
  const std::string mutexName = ObjectName(kCacheMutexName);
  const std::string sectionName = ObjectName(kSectionName);
  EXPECT_EQ(Expected(SYNCHRONIZE | MUTEX_MODIFY_STATE),
            DaclOf(OpenMutexA(READ_CONTROL, FALSE, mutexName.c_str())));
  EXPECT_EQ(Expected(SECTION_MAP_READ | SECTION_MAP_WRITE),
            DaclOf(OpenFileMappingA(READ_CONTROL, FALSE, sectionName.c_str())));
  StatisticsObject* statistics = nullptr;
  void* view = nullptr;
  ASSERT_EQ(CACHE_OK, CreateStatisticsObject(4096, &statistics, &view, access));
  EXPECT_EQ(Expected(SECTION_MAP_READ | SECTION_MAP_WRITE),
            DaclOf(OpenFileMappingA(READ_CONTROL, FALSE, ObjectName(kStatisticsName).c_str())));
  CloseStatisticsObject(statistics);
  CloseSection(section);
  CloseGlobalMutex(mutex);

  // The default stays a null DACL.
  ASSERT_EQ(CACHE_OK, CreateGlobalMutex(&mutex).code());
  EXPECT_EQ(std::vector<std::string>{"null"},
            DaclOf(OpenMutexA(READ_CONTROL, FALSE, mutexName.c_str())));
  CloseGlobalMutex(mutex);
}

// The restricted file is made new each time with a descriptor of its own (which needs the
// server's account), and the next write must be able to replace it.
TEST_F(AccessTest, ARestrictedServerReplacesItsOwnCacheFile) {
  SetEnv("TQ5ORVCACHE_ACCESS", "group:S-1-5-32-545");
  StartServer();
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  ASSERT_EQ(CACHE_OK, WriteCacheDataToFile());
  EXPECT_TRUE(tq5test::FileExists(CacheFilePath()));
}

#endif

}  // namespace
