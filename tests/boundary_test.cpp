// The exports' contract when memory runs out: every allocation a call makes may fail in
// turn, and each call then answers CACHE_E_NO_MEMORY or its usual code, never throws,
// and leaves the global cache mutex free for every other thread. This program replaces
// the global operator new so that the Nth allocation of the calling thread fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <cerrno>

#include "platform/posix/shared_object_posix.h"
#endif
#include "platform/directory_component.h"
#include "platform/status.h"
#include "region/call_patterns.h"
#include "region/owner_death.h"
#include "region/region_check.h"
#include "support/directory_hooks.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

// Allocations of this thread left before the one that fails; negative: none fails.
thread_local long allocationsBeforeFailure = -1;
thread_local bool failed = false;

}  // namespace

void* operator new(std::size_t size) {
  if (allocationsBeforeFailure == 0) {
    allocationsBeforeFailure = -1;
    failed = true;
    throw std::bad_alloc();
  }
  if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

RoleEntry Role(const std::string& name) {
  RoleEntry role{};
  role.inUse = role.listed = 1;
  std::snprintf(role.name, sizeof role.name, "%s", name.c_str());
  std::snprintf(role.id, sizeof role.id, "id-%s", name.c_str());
  return role;
}

// Whether another thread can take the global cache mutex (within a generous time):
// one that a failed call left held would keep it waiting for ever. The thread that asks
// is made once, before any allocation is made to fail, and is reused: under Wine a thread
// started after a run of failed allocations has been seen not to finish (in a promise's
// first set, or not at all), which would read as a mutex left held.
class MutexProbe {
 public:
  static bool MutexFree() {
    static MutexProbe probe;
    return probe.Ask();
  }

 private:
  MutexProbe() {
    std::thread([this] {
      for (;;) {
        const uint64_t asked = asked_.load();
        if (asked == answered_.load()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        int32_t autoCommit = 0, configValue = 0;
        static_cast<void>(GetConfigurationData(&autoCommit, &configValue));
        answered_.store(asked);
      }
    }).detach();  // runs to the program's end
  }

  bool Ask() {
    const uint64_t asked = asked_.fetch_add(1) + 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answered_.load() < asked) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  std::atomic<uint64_t> asked_{0};
  std::atomic<uint64_t> answered_{0};
};

bool MutexFreeForOtherThreads() { return MutexProbe::MutexFree(); }

// Whether the live region, when there is one, holds every invariant.
bool RegionSound() {
  const tq5::region::ServerCall call;
  if (call.status() == CACHE_E_REGION_NOT_MAPPED) return true;
  return call.status() == CACHE_OK && tq5::region::CheckRegion(call.region(), false).sound();
}

class Boundary : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    tq5test::CacheTest::SetUp();
    ASSERT_TRUE(MutexFreeForOtherThreads());  // the probe's thread, made before any failure
  }

  // Makes the first, second, ... allocation of `call` fail in turn, until a run makes
  // no allocation fail. Each failing run must answer -136 or what `allowed` lets
  // through, leave the mutex free and the region sound; `undo` puts back what a run
  // that succeeded changed. The number of runs.
  long FailEachAllocation(
      const std::function<ResultCode()>& call, std::vector<ResultCode> allowed,
      const std::function<void()>& undo = [] {}) {
    allowed.push_back(CACHE_OK);
    allowed.push_back(CACHE_E_NO_MEMORY);
    // Every one of the first allocations, then a growing stride: a cache file's write
    // makes thousands (the settings are read afresh), which only differ in where.
    for (long n = 0, runs = 1;; n += n < 64 ? 1 : n / 8, ++runs) {
      failed = false;
      allocationsBeforeFailure = n;
      ResultCode rc = CACHE_OK;
      try {
        rc = call();
      } catch (...) {
        allocationsBeforeFailure = -1;
        ADD_FAILURE() << "allocation " << n << ": an exception crossed the exports";
        return runs;
      }
      allocationsBeforeFailure = -1;
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), rc), allowed.end())
          << "allocation " << n << ": " << rc;
      if (!MutexFreeForOtherThreads()) {
        ADD_FAILURE() << "allocation " << n << ": the call left the mutex held";
        return runs;
      }
      EXPECT_TRUE(RegionSound()) << "allocation " << n;
      if (!failed) return runs;
      if (rc == CACHE_OK) undo();
    }
  }
};

TEST_F(Boundary, AFailedAllocationInAnyExportAnswersNoMemoryAndFreesTheMutex) {
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  // The region's start: a failure anywhere leaves no half-made region behind.
  EXPECT_GT(FailEachAllocation(InitializeCacheDataSharedMemory, {},
                               [] { ASSERT_EQ(CACHE_OK, UninitializeCacheDataSharedMemory()); }),
            1);
  std::vector<RoleEntry> roles;
  for (int i = 0; i < 8; ++i) roles.push_back(Role("R" + std::to_string(i)));
  EXPECT_GT(
      FailEachAllocation([&] { return PutAllRolesCacheDataSharedMemory(8, roles.data()); }, {}), 1);
  roles.push_back(Role("R8"));
  // On Windows the merge allocates nothing: a single run, which must succeed.
  EXPECT_GE(
      FailEachAllocation([&] { return UpdateAllRolesCacheDataSharedMemory(9, roles.data()); }, {}),
      1);
  EXPECT_GT(FailEachAllocation(WriteCacheDataToFile, {}), 1);
  std::vector<RoleEntry> listed(16);
  EXPECT_GE(FailEachAllocation(
                [&] {
                  int32_t count = 16;
                  return ClientGetAllRolesCacheDataSharedMemory(&count, listed.data());
                },
                {}),
            1);
  char message[128];
  uint32_t length = sizeof message;
  FailEachAllocation(
      [&] {
        GetTQ5ORVCacheErrorMessage(CACHE_E_NO_MEMORY, message, &length);
        return CACHE_OK;
      },
      {});
}

// The repair after an owner's death runs inside the mutex's take: it mends without
// allocating, and a take that fails for want of memory still lets the mutex go.
TEST_F(Boundary, TheRepairAfterAnOwnerDeathSurvivesFailedAllocations) {
  StartServer();
  std::vector<RoleEntry> roles;
  for (int i = 0; i < 4; ++i) roles.push_back(Role("R" + std::to_string(i)));
  ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(4, roles.data()));
  const uint64_t repairs = tq5::region::RepairsMade();
  tq5test::Peer damager({"damage-and-die", PathInFolder("damaged")});
  EXPECT_EQ(7, damager.Wait());
  // The first call takes the mutex from the dead owner, with its first allocation
  // failing, then its second, ...: the repair is made once, whichever call makes it.
  FailEachAllocation([] { return PutConfigurationData(-1, 5); }, {});
  EXPECT_EQ(repairs + 1, tq5::region::RepairsMade());
  int32_t capacity = 0, highWater = 0, active = 0;
  ASSERT_EQ(CACHE_OK, GetRoleProperties(&capacity, &highWater, &active));
  EXPECT_EQ(4, active);  // the dead owner's +3 undone
  EXPECT_TRUE(RegionSound());
}

// A directory that answers only once the server has let its region go, with a reason
// of its own: the lookup that asked it then finds no region to store into either.
class LateDirectory final : public tq5::platform::DirectoryObject {
 public:
  tq5::platform::ComponentResult InitializeCache() override { return 0; }
  tq5::platform::ComponentResult GetUserRolesEx(
      const std::wstring&, const std::wstring&, std::unique_ptr<tq5::platform::RoleStrings>*,
      std::unique_ptr<tq5::platform::RoleStrings>*) override {
    static_cast<void>(UninitializeCacheDataSharedMemory());
    tq5::platform::NoteRefused(CACHE_E_USER_FETCH_CALL, "GetUserRolesEx", "CORP\\ann",
                               "no such account");
    return -1;
  }
  tq5::platform::ComponentResult CloseCache() override { return 0; }
  void Release() override { delete this; }
};

const tq5::directory::DirectoryAccess kLateDirectory{
    [] { return tq5::platform::ApartmentJoin::ChangedMode; }, [] {},
    []() -> tq5::platform::DirectoryObject* { return new LateDirectory; },
    [](const char* text, std::wstring* out) {
      out->assign(text, text + std::strlen(text));
      return true;
    }};

// What a caller reads beside an export's code is the reason for that code: a lookup
// whose fetch fails answers the fetch's code, and the failure to reach the region
// afterwards does not take the directory's reason's place.
TEST_F(Boundary, AFailedFetchKeepsItsReasonPastALaterFailureOfTheRegion) {
  StartServer();
  const RoleEntry role = Role("R1");
  ASSERT_EQ(CACHE_OK, PutAllRolesCacheDataSharedMemory(1, &role));
  tq5test::SetEnv("TQ5ORVCACHE_FETCH_OUTSIDE_LOCK", "yes");
  tq5::directory::UseDirectoryAccess(&kLateDirectory);
  RoleNameId roles[4];
  int32_t count = 4;
  const ResultCode rc = ClientFindUserRoles("CORP", "ann", &count, roles, 20000);
  const tq5::platform::Failure failure = tq5::platform::LastFailure();
  tq5::directory::UseDirectoryAccess(nullptr);
  tq5test::SetEnv("TQ5ORVCACHE_FETCH_OUTSIDE_LOCK", nullptr);
  EXPECT_EQ(CACHE_E_USER_FETCH_CALL, rc);
  EXPECT_EQ(CACHE_E_USER_FETCH_CALL, failure.code);
  EXPECT_EQ("GetUserRolesEx(CORP\\ann): no such account", failure.Text());
}

#ifndef _WIN32
// The shared objects are made through calls a test can make fail: a step that fails
// answers the start-up's code with the call that failed, and leaves no object under
// the name for anyone to find.
TEST_F(Boundary, AFailedSharedMemoryCallLeavesNoObjectBehind) {
  using tq5::platform::SharedMemoryCalls;
  const SharedMemoryCalls system = tq5::platform::SharedMemory();
  SharedMemoryCalls failing = system;
  failing.truncate = [](int, off_t) {
    errno = ENOSPC;
    return -1;
  };
  tq5::platform::ReplaceSharedMemoryCalls(failing);
  EXPECT_EQ(CACHE_E_MUTEX_CREATE, InitializeTQ5ORVCacheServer());
  tq5::platform::ReplaceSharedMemoryCalls(system);
  EXPECT_EQ(0u, tq5::platform::LastFailure().call.find("ftruncate("));
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, InitializeTQ5ORVCache());  // no half-made mutex object

  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  tq5::platform::ReplaceSharedMemoryCalls(failing);
  EXPECT_EQ(CACHE_E_CREATE_MAPPING, InitializeCacheDataSharedMemory());
  tq5::platform::ReplaceSharedMemoryCalls(system);
  EXPECT_EQ(ENOSPC, tq5::platform::LastFailure().systemError);
  int32_t autoCommit = 0, configValue = 0;
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetConfigurationData(&autoCommit, &configValue));
  ASSERT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(&autoCommit, &configValue));
}
#endif

}  // namespace
