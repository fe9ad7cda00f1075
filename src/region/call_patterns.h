// The two ways an operation works on the region, as scoped guards: the server's (its
// own view, kept mapped) and the client's (a view acquired for the call unless the
// process has one already). Both hold the global cache mutex for their whole life and
// release what they took in reverse order.
#pragma once

#include <utility>

#include "region/region_state.h"

namespace tq5::region {

// What an operation answers once its call is over: `rc`, unless an object shrank under
// the call's access (it then worked on zeros, not on the region): CACHE_E_MAP_VIEW.
inline ResultCode AnswerOf(ResultCode rc) {
  return platform::CallFaulted() ? CACHE_E_MAP_VIEW : rc;
}
inline platform::Status AnswerOf(platform::Status status) {
  if (platform::CallFaulted()) return platform::Status::Answer(CACHE_E_MAP_VIEW);
  return status;
}

// The code of a step that records why it failed as this thread's latest failure but
// answers only the code (the mutex's take, a fetch), as a Status that keeps that reason,
// so that a later step's failure cannot take its place. The code alone when the latest
// failure is another code's: an older reason is never passed off as this one's.
inline platform::Status Recorded(ResultCode rc) {
  if (rc == CACHE_OK) return {};
  return platform::LastFailure().code == rc ? platform::Status::After(rc)
                                            : platform::Status::Answer(rc);
}

// An answer of the library's own rules (a full buffer, a damaged set) as a Status: the
// code alone, nothing recorded; success costs nothing.
inline platform::Status Coded(ResultCode rc) {
  return rc == CACHE_OK ? platform::Status() : platform::Status::Answer(rc);
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
  ResultCode status() const { return outcome_.code(); }
  // The same with, on failure, why the mutex or the view could not be had.
  const platform::Status& outcome() const { return outcome_; }
  const MappedRegion& region() const TQ5_REQUIRES(cacheMutexCapability) {
    return ProcessRegion().regionView;
  }
  // Binds the tables of the view: the call's outcome, or -109 for a header whose
  // capacities do not fit the view.
  platform::Status BindTables(RegionTables* tables) const TQ5_REQUIRES(cacheMutexCapability) {
    return !outcome_.ok() ? outcome_ : Coded(RegionTables::Bind(region(), tables));
  }

 protected:
  CacheLock lock_;
  platform::Status outcome_ = Recorded(lock_.status());
};

// The server's pattern: the view that the start-up mapped, or -104 without one.
class TQ5_SCOPED_CAPABILITY ServerCall : public RegionCall {
 public:
  ~ServerCall() TQ5_RELEASE() = default;
  ServerCall() TQ5_ACQUIRE(cacheMutexCapability) TQ5_NO_THREAD_SAFETY_ANALYSIS {
    if (!outcome_.ok()) return;
    outcome_ = !ProcessRegion().regionView ? platform::Status::Answer(CACHE_E_REGION_NOT_MAPPED)
                                           : CheckServerView();
  }
};

// The client's pattern: a view of the region acquired for the call. One that finds the
// process holding a view already (-102, as in the server's own process) uses that view
// and leaves it as it is.
class TQ5_SCOPED_CAPABILITY ClientCall : public RegionCall {
 public:
  ClientCall() TQ5_ACQUIRE(cacheMutexCapability) TQ5_NO_THREAD_SAFETY_ANALYSIS {
    if (!outcome_.ok()) return;  // the mutex could not be taken: touch nothing
    platform::Status acquired = AcquireRegionView();
    acquired_ = acquired.ok();
    if (!acquired_ && acquired.code() != CACHE_E_REGION_ALREADY_OPEN) {
      outcome_ = std::move(acquired);
    } else if (!ProcessRegion().regionView) {
      outcome_ = platform::Status::Answer(CACHE_E_REGION_NOT_MAPPED);
    } else if (!acquired_) {
      outcome_ = CheckServerView();  // the process's own view, which may have been shrunk
    }
  }
  ~ClientCall() TQ5_RELEASE() TQ5_NO_THREAD_SAFETY_ANALYSIS {
    if (acquired_) ReleaseRegionView();
  }

 private:
  bool acquired_ = false;
};

}  // namespace tq5::region
