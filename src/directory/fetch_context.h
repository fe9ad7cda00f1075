// One fetch as its worker sees it. The worker writes only into its own context; the
// fetch adopts the results when the worker ended in time and otherwise leaves the
// context to the worker, which discards it when it ends. So a worker that outlives its
// fetch can never touch the outputs or the held object of a later fetch.
#pragma once

#include <atomic>
#include <cstdint>

#include "directory/directory_access.h"
#include "directory/fetch_state.h"
#include "platform/status.h"
#include "tq5orvcache.h"

namespace tq5::directory {

struct FetchContext {
  enum Stage : int {
    kRunning,
    kDone,      // the worker finished first: the fetch owns the context
    kAbandoned  // the time limit came first: the worker owns the context
  };

  char domainName[kNameSize] = {};
  char userName[kNameSize] = {};
  DirectoryAccess access{};
  platform::DirectoryObject* heldAtStart = nullptr;  // the process's object, or none
  platform::DirectoryObject* object = nullptr;       // the object as the fetch leaves it
  ResultCode result = CACHE_OK;
  int32_t roleCount = 0;
  RoleNameId* roles = nullptr;  // malloc'd
  // Why the fetch failed, as the directory or the seam recorded it on the worker's
  // thread; code CACHE_OK when nothing was recorded.
  platform::Failure reason;
  std::atomic<int> stage{kRunning};
};

// The body of the fetch, on the worker, inside the apartment: create or reuse the object,
// InitializeCache (with one re-creation), GetUserRolesEx, take the roles out, CloseCache.
ResultCode GetORVUserRoles(FetchContext& context);

// The worker's start routine; `context` is a FetchContext.
void UserRoleFetchThread(void* context);

// Lets go of a held object for good without releasing it (caller holds the process lock).
void RetireObject(FetchState& fetch, platform::DirectoryObject* object);

}  // namespace tq5::directory
