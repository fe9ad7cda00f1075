// The user cache shared by a server and its clients: what one client's commit may hand
// out after the server has merged role lists under a pending change.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr int32_t kTimeoutMs = 20000;

RoleEntry Role(const std::string& name) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "%s", name.c_str());
  std::snprintf(role.id, sizeof role.id, "ID-%s", name.c_str());
  return role;
}

// Replaces the file whole, so that no fetch ever reads half of it. Windows refuses the
// replacement while a reader has the file open; the reader is quick, so try again.
void ReplaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  tq5test::WriteFileBytes(temporary, text);
  for (int attempt = 0; attempt < 2000; ++attempt) {
#ifdef _WIN32
    if (MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return;
#else
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return;
#endif
    tq5test::SleepMs(1);
  }
  ADD_FAILURE() << "cannot replace " << path;
}

class UserCacheProcesses : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    directory_ = PathInFolder("directory.txt");
    tq5test::WriteFileBytes(directory_, "");
    tq5test::UseDirectoryFile(directory_);
  }

  std::string directory_;
};

// A role leaves the list while a pending current set names it, and its slot goes to
// another role before a client commits that set.
TEST_F(UserCacheProcesses, ACommitNeverHandsOutARoleThatTookAFreedSlot) {
  StartServer();
  const std::vector<RoleEntry> abc = {Role("A"), Role("B"), Role("C")};
  ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(3, abc.data()));
  ASSERT_EQ(CACHE_OK, PutConfigurationData(0, -1));
  ReplaceFile(directory_, "CORP\tu\tA\tID-A\n");
  int32_t count = 4;
  RoleNameId roles[4];
  ASSERT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "u", &count, roles, kTimeoutMs));
  ReplaceFile(directory_, "CORP\tu\tB\tID-B\n");
  ASSERT_EQ(CACHE_OK, UpdateAllCurUserRoles(kTimeoutMs));  // pending: {B}

  const std::vector<RoleEntry> ac = {Role("A"), Role("C")}, acd = {Role("A"), Role("C"), Role("D")};
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(2, ac.data()));  // frees B
  count = 4;
  EXPECT_EQ(CACHE_OK, ClientFindUserCurrentRoles("CORP", "u", &count, roles));
  EXPECT_EQ(0, count);
  ASSERT_EQ(CACHE_OK, UpdateAllRolesCacheDataSharedMemory(3, acd.data()));  // D in B's slot
  ASSERT_EQ(CACHE_OK, ClientRefreshUserRoles("CORP", "u"));
  count = 4;
  EXPECT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "u", &count, roles, kTimeoutMs));
  EXPECT_EQ(0, count);
}

}  // namespace
