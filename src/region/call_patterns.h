// The two ways an operation works on the region, as scoped guards: the server's (its
// own view, kept mapped) and the client's (a view acquired for the call unless the
// process has one already). Both hold the global cache mutex for their whole life and
// release what they took in reverse order.
#pragma once

#include "region/region_state.h"

namespace tq5::region {

// What an operation answers once its call is over: `rc`, unless an object shrank under
// the call's access (it then worked on zeros, not on the region): CACHE_E_MAP_VIEW.
inline ResultCode AnswerOf(ResultCode rc) {
  return platform::CallFaulted() ? CACHE_E_MAP_VIEW : rc;
}

// Each is a scoped holder of the global cache mutex for the analysis: what a call
// reaches through it (the view, the tables) needs the mutex held.
class TQ5_SCOPED_CAPABILITY RegionCall {
 public:
  RegionCall() TQ5_ACQUIRE(cacheMutexCapability) = default;
  ~RegionCall() TQ5_RELEASE() = default;
  RegionCall(const RegionCall&) = delete;
  RegionCall& operator=(const RegionCall&) = delete;

  // 0 when the view can be used; otherwise the code the operation returns.
  ResultCode status() const { return status_; }
  const MappedRegion& region() const TQ5_REQUIRES(cacheMutexCapability) {
    return ProcessRegion().regionView;
  }
  // Binds the tables of the view: the call's status, or -109 for a header whose
  // capacities do not fit the view.
  ResultCode BindTables(RegionTables* tables) const TQ5_REQUIRES(cacheMutexCapability) {
    return status_ != CACHE_OK ? status_ : RegionTables::Bind(region(), tables);
  }

 protected:
  CacheLock lock_;
  ResultCode status_ = lock_.status();
};

// The server's pattern: the view that the start-up mapped, or -104 without one.
class TQ5_SCOPED_CAPABILITY ServerCall : public RegionCall {
 public:
  ~ServerCall() TQ5_RELEASE() = default;
  ServerCall() TQ5_ACQUIRE(cacheMutexCapability) TQ5_NO_THREAD_SAFETY_ANALYSIS {
    if (status_ != CACHE_OK) return;
    status_ = !ProcessRegion().regionView ? CACHE_E_REGION_NOT_MAPPED : CheckServerView().code();
  }
};

// The client's pattern: a view of the region acquired for the call. One that finds the
// process holding a view already (-102, as in the server's own process) uses that view
// and leaves it as it is.
class TQ5_SCOPED_CAPABILITY ClientCall : public RegionCall {
 public:
  ClientCall() TQ5_ACQUIRE(cacheMutexCapability) TQ5_NO_THREAD_SAFETY_ANALYSIS {
    if (status_ != CACHE_OK) return;  // the mutex could not be taken: touch nothing
    const ResultCode rc = AcquireRegionView().code();
    acquired_ = rc == CACHE_OK;
    if (rc != CACHE_OK && rc != CACHE_E_REGION_ALREADY_OPEN) {
      status_ = rc;
    } else if (!ProcessRegion().regionView) {
      status_ = CACHE_E_REGION_NOT_MAPPED;
    } else if (!acquired_) {
      status_ = CheckServerView().code();  // the process's own view, which may have been shrunk
    }
  }
  ~ClientCall() TQ5_RELEASE() TQ5_NO_THREAD_SAFETY_ANALYSIS {
    if (acquired_) ReleaseRegionView();
  }

 private:
  bool acquired_ = false;
};

}  // namespace tq5::region
