// The fetch and its worker thread. The worker writes only into a context of its own;
// the fetch adopts the context's results when the worker ended within the time limit and
// otherwise hands the context over to the worker, which discards it when it ends.
//
// A late worker is abandoned, never killed: killing a thread inside a directory call can
// leave the heap or the component's internals locked for the rest of the process. The
// price is that a directory that never answers keeps one thread per timed-out fetch;
// kMaxLateWorkers bounds how many, after which fetches fail at once with -111 until one
// of them ends.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "directory/fetch_context.h"
#include "directory/fetch_state.h"
#include "directory/fetch_timeout.h"
#include "platform/worker_thread.h"
#include "region/call_patterns.h"
#include "region/text.h"

namespace tq5::directory {
namespace {

// At most 63 characters, zero-padded to the field.
void CopyName(char (&to)[kNameSize], const char* from) {
  std::memset(to, 0, sizeof to);
  std::memcpy(to, from, strnlen(from, kNameSize - 1));
}

void DeleteContext(FetchContext* context) {
  std::free(context->roles);
  delete context;
}

// The object the worker left becomes the process's; one it replaced is let go.
void AdoptObject(FetchState& fetch, const FetchContext& context) {
  if (context.object != context.heldAtStart) RetireObject(fetch, context.heldAtStart);
  fetch.authorizationObject = context.object;
}

// A time-out's reason: the limit in force and where it came from, so that whoever reads
// it knows which setting to change.
void NoteTimeOut(const FetchContext& context, uint32_t timeoutMs) {
  try {
    (void)platform::Status::Refused(CACHE_E_FETCH_TIMEOUT, "fetch",
                                    std::string(context.domainName) + "\\" + context.userName,
                                    "the directory did not answer within " +
                                        std::to_string(timeoutMs) + " ms, the limit " +
                                        FetchTimeoutOrigin(timeoutMs));
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

DirectoryState& ProcessDirectory() {
  static DirectoryState state;
  return state;
}

int32_t LateWorkerCount() { return ProcessDirectory().lateWorkers.load(); }

void UserRoleFetchThread(void* argument) {
  auto* context = static_cast<FetchContext*>(argument);
  // Copied: once the worker has handed its context over, the context may be gone.
  const DirectoryAccess access = context->access;
  const platform::ApartmentJoin join = access.joinApartment();
  if (join == platform::ApartmentJoin::Failed) {
    context->result = CACHE_E_USER_FETCH_COINIT;
  } else {
    try {
      // The worker's own thread: what it records is this fetch's alone.
      platform::ClearLastFailure();
      context->result = GetORVUserRoles(*context);
      if (context->result != CACHE_OK && platform::LastFailure().code != CACHE_OK) {
        context->reason = platform::LastFailure();
      }
    } catch (const std::bad_alloc&) {
      context->result = CACHE_E_NO_MEMORY;
    }
  }
  int running = FetchContext::kRunning;
  const bool late = !context->stage.compare_exchange_strong(running, FetchContext::kDone);
  if (late) {
    // Nobody will look at this fetch again. An object it made is known to no one else
    // and is released here, still inside the apartment.
    if (context->object && context->object != context->heldAtStart) context->object->Release();
    DeleteContext(context);
  }
  if (join == platform::ApartmentJoin::Joined) access.leaveApartment();
  if (late) ProcessDirectory().lateWorkers.fetch_sub(1);
}

ResultCode FetchUserRolesWithTimeout(const char* domainName, const char* userName,
                                     uint32_t timeoutMs, FetchedRoles* out) {
  DirectoryState& state = ProcessDirectory();
  FetchState& fetch = state.fetch;
  out->Take(nullptr, 0);

  if (state.lateWorkers.load() >= kMaxLateWorkers) return CACHE_E_THREAD_CREATE;
  auto* context = new (std::nothrow) FetchContext;
  if (!context) return CACHE_E_THREAD_CREATE;
  CopyName(context->domainName, domainName);
  CopyName(context->userName, userName);
  context->access = fetch.access ? *fetch.access : PlatformDirectoryAccess();
  context->heldAtStart = fetch.authorizationObject;
  context->object = fetch.authorizationObject;

  platform::WorkerThread* thread = platform::StartWorkerThread(UserRoleFetchThread, context);
  if (!thread) {
    delete context;
    return CACHE_E_THREAD_CREATE;
  }
  ResultCode result = CACHE_E_FETCH_TIMEOUT;
  if (platform::WaitWorkerThread(thread, timeoutMs)) {
    // The worker has ended, so it has marked its context done and left it to us.
    result = context->result;
    if (result != CACHE_OK && context->reason.code != CACHE_OK) {
      (void)platform::Status::Carried(result, context->reason);
    }
    AdoptObject(fetch, *context);
    // The roles go to the caller only with a success: a failed fetch answers none.
    if (result == CACHE_OK) {
      out->Take(context->roles, context->roleCount);
      context->roles = nullptr;
      if (fetch.watcher) fetch.watcher(*out);
    }
    DeleteContext(context);
  } else {
    NoteTimeOut(*context, timeoutMs);
    // Counted before the hand-over, so that the worker's count down never comes first.
    state.lateWorkers.fetch_add(1);
    int running = FetchContext::kRunning;
    if (!context->stage.compare_exchange_strong(running, FetchContext::kAbandoned)) {
      // It finished just after the limit. The fetch has still timed out, but the object
      // it leaves is sound and is the one to hold.
      state.lateWorkers.fetch_sub(1);
      AdoptObject(fetch, *context);
      DeleteContext(context);
    }
  }
  platform::ReleaseWorkerThread(thread);
  return result;
}

ResultCode FetchUserRoles(const char* domainName, const char* userName, uint32_t timeoutMs,
                          FetchedRoles* out) {
  out->Take(nullptr, 0);
  std::size_t domainLength = 0;
  std::size_t userLength = 0;
  const ResultCode rc =
      region::CheckUserNameLengths(domainName, userName, &domainLength, &userLength);
  if (rc != CACHE_OK) return rc;
  region::ProcessLock lock;
  return FetchUserRolesWithTimeout(domainName, userName, timeoutMs, out);
}

}  // namespace tq5::directory
