#include "region/locks.h"

#include <deque>
#include <mutex>

#include "region/owner_death.h"
#include "region/region_state.h"

namespace tq5::region {

namespace {

// Handles live as long as the process, so that a call that read the pointer just before
// a shut-down still finds valid memory. One is made per start-up.
CacheMutexHandle* NewHandle(platform::GlobalMutex* mutex) {
  static std::mutex lock;
  static std::deque<CacheMutexHandle>& handles = *new std::deque<CacheMutexHandle>;
  std::lock_guard<std::mutex> guard(lock);
  return &handles.emplace_back(mutex);
}

void CloseIfIdle(CacheMutexHandle* handle) {
  if (!handle->closing.load() || handle->holders.load() != 0) return;
  bool expected = false;
  if (handle->closed.compare_exchange_strong(expected, true)) {
    platform::CloseGlobalMutex(handle->mutex);
  }
}

}  // namespace

void AdoptCacheMutex(platform::GlobalMutex* mutex) {
  ProcessRegion().cacheMutex.store(NewHandle(mutex));
}

void ReleaseCacheMutex() {
  if (CacheMutexHandle* handle = ProcessRegion().cacheMutex.exchange(nullptr)) {
    handle->closing.store(true);
    CloseIfIdle(handle);
  }
}

namespace {
thread_local platform::GlobalMutex* heldByThread = nullptr;
thread_local uint64_t holdSerial = 0;
}  // namespace

platform::GlobalMutex* HeldCacheMutex() { return heldByThread; }

uint64_t CacheHoldSerial() { return holdSerial; }

CacheLock::CacheLock() TQ5_NO_THREAD_SAFETY_ANALYSIS {
  // What this constructor has to undo when an allocation fails on the way: nothing it
  // can throw comes after the take (the repair throws nothing), so a failure leaves the
  // mutex as it found it.
  CacheMutexHandle* counted = nullptr;
  platform::GlobalMutex* opened = nullptr;
  try {
    if (CacheMutexHandle* handle = ProcessRegion().cacheMutex.load()) {
      // Counted before `closing` is read, so that a shut-down either sees this lock and
      // leaves the closing to its release, or has closed before and is seen here.
      handle->holders.fetch_add(1);
      counted = handle;
      if (!handle->closing.load() && Take(handle->mutex)) {
        held_ = handle;
        return;
      }
      counted = nullptr;
      handle->holders.fetch_sub(1);
      CloseIfIdle(handle);
      if (status_ != CACHE_OK) return;  // the mutex can no longer be taken
    }
    // No handle of the process's (or it is being shut down): one for this scope alone.
    // Opening by name also finds a mutex that a server made after this process started.
    if (!platform::OpenGlobalMutex(&opened).ok()) {
      status_ = CACHE_E_MUTEX_OPEN;
      return;
    }
    if (!Take(opened)) {
      platform::CloseGlobalMutex(opened);
      return;
    }
    own_ = opened;
  } catch (...) {
    if (counted) {
      counted->holders.fetch_sub(1);
      CloseIfIdle(counted);
    }
    if (opened) platform::CloseGlobalMutex(opened);
    status_ = CACHE_E_NO_MEMORY;
  }
}

bool CacheLock::Take(platform::GlobalMutex* mutex) TQ5_NO_THREAD_SAFETY_ANALYSIS {
  const platform::LockOutcome outcome = platform::LockGlobalMutex(mutex);
  if (outcome == platform::LockOutcome::Failed) {
    status_ = CACHE_E_MUTEX_OPEN;
    return false;
  }
  outer_ = heldByThread;
  heldByThread = mutex;
  ++holdSerial;
  // The mutex is marked consistent whatever the repair managed: left unmarked, its
  // release would make it unusable for every process for good.
  const bool ownerDied = outcome == platform::LockOutcome::OwnerDied;
  const bool sound = (!ownerDied && !repairOwed.load(std::memory_order_relaxed)) || RepairOnTake();
  if (outcome == platform::LockOutcome::OwnerDied) platform::MarkGlobalMutexConsistent(mutex);
  if (sound) return true;
  heldByThread = outer_;
  platform::UnlockGlobalMutex(mutex);
  status_ = CACHE_E_NO_MEMORY;
  return false;
}

CacheLock::~CacheLock() TQ5_NO_THREAD_SAFETY_ANALYSIS {
  if (!held_ && !own_) return;
  heldByThread = outer_;
  if (own_) {
    platform::UnlockGlobalMutex(own_);
    platform::CloseGlobalMutex(own_);
    return;
  }
  platform::UnlockGlobalMutex(held_->mutex);
  held_->holders.fetch_sub(1);
  CloseIfIdle(held_);
}

ProcessLock::ProcessLock() TQ5_NO_THREAD_SAFETY_ANALYSIS
    : held_(ProcessRegion().processLock.load()) {
  if (held_) platform::LockProcessMutex(held_);
}

ProcessLock::~ProcessLock() TQ5_NO_THREAD_SAFETY_ANALYSIS {
  if (held_) platform::UnlockProcessMutex(held_);
}

}  // namespace tq5::region
