// The per-process state of the security directory access: the fetch's inputs, outputs
// and held component object, and the cached fetch time limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>

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

// The roles one fetch brought, in the directory's order, owned by whoever asked for them:
// the records the worker took out of the answer (malloc'd), freed with the object. Empty
// after a failed fetch, and after one that found the user without roles.
class FetchedRoles {
 public:
  FetchedRoles() = default;
  FetchedRoles(const FetchedRoles&) = delete;
  FetchedRoles& operator=(const FetchedRoles&) = delete;
  ~FetchedRoles() { std::free(records_); }

  const RoleNameId* data() const { return records_; }
  int32_t size() const { return count_; }
  const RoleNameId* begin() const { return records_; }
  const RoleNameId* end() const { return records_ + count_; }

  // Takes `records` (malloc'd, `count` of them) in place of what it held.
  void Take(RoleNameId* records, int32_t count) {
    std::free(records_);
    records_ = records;
    count_ = records ? count : 0;
  }

 private:
  RoleNameId* records_ = nullptr;
  int32_t count_ = 0;
};

// Guarded by the process lock (region::ProcessLock). Zero when the library loads.
struct FetchState {
  platform::DirectoryObject* authorizationObject;
  const DirectoryAccess* access;  // null: the platform's component
  RetiredObject* retired;
  // Shown every answer a fetch of this process brings, before it goes to the fetch's
  // caller; null: nobody watches. The tool's lookup names the roles that the role table
  // did not know from it.
  void (*watcher)(const FetchedRoles& answer);
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

// Fetches the roles of the user (names of 1 to 63 bytes) within timeoutMs milliseconds
// (0xFFFFFFFF: without limit) into *out, which it empties first and fills only on
// CACHE_OK.
ResultCode FetchUserRolesWithTimeout(const char* domainName, const char* userName,
                                     uint32_t timeoutMs, FetchedRoles* out)
    TQ5_REQUIRES(region::processLockCapability);

// Checks the names and fetches under the process lock, which it takes itself (again, for
// a caller that holds it): the answer is the caller's in *out once the call returns, so
// nobody holds the lock to read it. Null names give CACHE_E_INVALID_POINTER; a name of
// length 0 or over 63, CACHE_E_BAD_DOMAIN_NAME or CACHE_E_BAD_USER_NAME.
ResultCode FetchUserRoles(const char* domainName, const char* userName, uint32_t timeoutMs,
                          FetchedRoles* out);

// How many timed-out workers are still running.
int32_t LateWorkerCount();

}  // namespace tq5::directory
