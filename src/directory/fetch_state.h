// The per-process state of the security directory access: the fetch's inputs, outputs
// and held component object, and the cached fetch time limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "directory/directory_access.h"
#include "platform/directory_component.h"
#include "region/locks.h"
#include "tq5orvcache.h"

namespace tq5::directory {

inline constexpr int kNameSize = TQ5ORVCACHE_TEXT_SIZE;

// Workers that timed out and may still be running. A directory that never answers
// leaves one behind per fetch; past this many, a fetch starts no further thread and
// fails with CACHE_E_THREAD_CREATE until one of them has ended.
inline constexpr int32_t kMaxLateWorkers = 16;

// A held object that was let go: kept, never released, so that a late worker still
// inside a call on it finds it alive.
struct RetiredObject {
  platform::DirectoryObject* object;
  RetiredObject* next;
};

// Guarded by the process lock (region::ProcessLock). Zero when the library loads.
struct FetchState {
  char fetchDomainName[kNameSize];
  char fetchUserName[kNameSize];
  int32_t fetchedRoleCount;
  RoleNameId* fetchedRoles;  // malloc'd by the fetch, freed at the start of the next
  platform::DirectoryObject* authorizationObject;
  const DirectoryAccess* access;  // null: the platform's component
  RetiredObject* retired;
};

struct DirectoryState {
  FetchState fetch TQ5_GUARDED_BY(region::processLockCapability){};
  // Written under the process lock, read without it.
  std::atomic<int32_t> cachedUserRolesTimeout{0};
  // How the cached limit was read: CACHE_OK from the registry value, else the code of
  // the read's failure (the limit is then the default).
  std::atomic<int32_t> cachedUserRolesTimeoutRead{CACHE_OK};
  std::atomic<int32_t> lateWorkers{0};
};

// This process's directory access: one per process, shared by all its threads.
DirectoryState& ProcessDirectory();

// Fetches the roles of the user named in fetchDomainName / fetchUserName within
// timeoutMs milliseconds (0xFFFFFFFF: without limit). The caller holds the process lock
// from before it writes the names until it has read fetchedRoleCount records from
// fetchedRoles, which it does only after CACHE_OK.
ResultCode FetchUserRolesWithTimeout(uint32_t timeoutMs)
    TQ5_REQUIRES(region::processLockCapability);

// Copies the names into the fetch state and fetches. Null names give
// CACHE_E_INVALID_POINTER; a name of length 0 or over 63, CACHE_E_BAD_DOMAIN_NAME or
// CACHE_E_BAD_USER_NAME. It takes the process lock itself (again, for a caller that
// holds it); a caller that reads the fetched roles holds it from before the call.
ResultCode FetchUserRoles(const char* domainName, const char* userName, uint32_t timeoutMs);

// FetchUserRoles under the process lock, with the roles copied out before the lock goes:
// the fetch of a caller that does not hold the global cache mutex, which must not wait
// for it while it holds the process lock. An empty answer leaves *out empty.
ResultCode FetchUserRolesCopy(const char* domainName, const char* userName, uint32_t timeoutMs,
                              std::vector<RoleNameId>* out);

// How many timed-out workers are still running.
int32_t LateWorkerCount();

}  // namespace tq5::directory
