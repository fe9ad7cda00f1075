// Region images of arbitrary bytes, as a damaged or hostile process could leave them,
// handed to the exports that read and change the region without the directory. The
// image sits in a heap block of exactly its own size, so that AddressSanitizer reports
// any access past the bytes a view would map. Every call takes the global cache mutex,
// this process's own under its object prefix, and checks its view's size against a
// section larger than any input, which is never mapped; the process state is pointed
// straight at the block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_isolation.h"
#include "platform/platform.h"
#include "region/locks.h"
#include "region/region_state.h"
#include "tq5orvcache.h"

namespace {

using tq5::region::ProcessRegion;

// Stands for the open section, so that client calls use the view as the server's own
// process does: the calls only ask its size, which no input reaches.
tq5::platform::Section* section = nullptr;
constexpr uint32_t kSectionSize = 16u << 20;

// At most this many users and roles of the image are named in calls.
constexpr int32_t kNamed = 4;

struct Names {
  std::string domain;
  std::string user;
};

// The names of a user entry, cut at their NUL or their field's end: the entry's bytes
// are arbitrary, and the calls must refuse whatever they make of them cleanly.
Names NamesOf(const UserEntry& entry) {
  return {std::string(entry.domainName, strnlen(entry.domainName, sizeof entry.domainName)),
          std::string(entry.userName, strnlen(entry.userName, sizeof entry.userName))};
}

void ExerciseUsers() {
  int32_t userHighWater = 0;
  GetUserProperties(nullptr, &userHighWater, nullptr);
  std::vector<UserEntry> users(static_cast<std::size_t>(kNamed));
  int32_t count = kNamed;
  ClientGetAllUsersCacheDataSharedMemory(&count, users.data());
  const int32_t listed = count < kNamed ? count : kNamed;
  for (int32_t i = 0; i < listed; ++i) {
    const Names names = NamesOf(users[static_cast<std::size_t>(i)]);
    const char* domain = names.domain.c_str();
    const char* user = names.user.c_str();
    RoleNameId roles[TQ5ORVCACHE_MAX_USER_ROLES];
    int32_t found = TQ5ORVCACHE_MAX_USER_ROLES;
    // A miss would go to the directory; only users the table answers for are looked up.
    if (ClientFindUserCurrentRoles(domain, user, &found, roles) == CACHE_E_USER_NOT_CACHED) {
      continue;
    }
    found = 1;
    ClientFindUserRoles(domain, user, &found, roles, 1000);
    found = TQ5ORVCACHE_MAX_USER_ROLES;
    ClientFindUserRolesFromAdmin(domain, user, &found, roles, 1000);
    ClientUpdateOneUserLastAccessTime(i, domain, user);
    ClientRefreshUserRoles(domain, user);
    if (i == 0) ClientDeleteUserCacheDataSharedMemory(domain, user);
  }
}

void ExerciseRoles(const uint8_t* image, std::size_t size) {
  // The merge takes the image's first role entries, made terminated, and one new role:
  // present roles keep their slots, the rest of the table is swept.
  std::vector<RoleEntry> list;
  for (std::size_t at = sizeof(CacheHeader); at + sizeof(RoleEntry) <= size;
       at += sizeof(RoleEntry)) {
    if (list.size() == kNamed) break;
    RoleEntry record;
    std::memcpy(&record, image + at, sizeof record);
    record.name[sizeof record.name - 1] = '\0';
    record.id[sizeof record.id - 1] = '\0';
    list.push_back(record);
  }
  RoleEntry added{};
  std::strcpy(added.name, "fuzz role");
  std::strcpy(added.id, "fuzz id");
  list.push_back(added);

  std::vector<RoleEntry> out(static_cast<std::size_t>(kNamed));
  int32_t count = kNamed;
  GetAllRolesCacheDataSharedMemory(&count, out.data());
  count = kNamed;
  ClientGetAllActiveRolesCacheDataSharedMemory(&count, out.data());
  UpdateAllRolesCacheDataSharedMemory(static_cast<int32_t>(list.size()), list.data());
  ExerciseUsers();
  // A load rewrites the table under the users that still hold slots.
  PutAllRolesCacheDataSharedMemory(1, &added);
  ExerciseUsers();
  count = kNamed;
  GetAllActiveRolesCacheDataSharedMemory(&count, out.data());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A lookup that misses would fetch; with a directory that cannot be created it fails
  // at once instead of asking the machine's user database.
  setenv("TQ5ORVCACHE_DIRECTORY", "none", 1);
  tq5fuzz::IsolateProcess();
  if (InitializeTQ5ORVCacheServer() != CACHE_OK) std::abort();
  tq5::region::CacheLock lock;
  if (!tq5::platform::CreateSection(kSectionSize, &section).ok()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // A view always holds at least the header.
  const std::size_t viewSize = size < sizeof(CacheHeader) ? sizeof(CacheHeader) : size;
  std::unique_ptr<uint8_t[]> view(new uint8_t[viewSize]());
  if (size) std::memcpy(view.get(), data, size);

  tq5::region::ProcessState& state = ProcessRegion();
  state.regionMapping = section;
  state.regionView = {view.get(), viewSize};
  ExerciseRoles(data, size);
  state.regionView = {};
  state.regionMapping = nullptr;
  return 0;
}
