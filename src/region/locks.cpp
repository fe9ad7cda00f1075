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

CacheLock::CacheLock() {
  if (CacheMutexHandle* handle = ProcessRegion().cacheMutex.load()) {
    // Counted before `closing` is read, so that a shut-down either sees this lock and
    // leaves the closing to its release, or has closed before and is seen here.
    handle->holders.fetch_add(1);
    if (!handle->closing.load() && Take(handle->mutex)) {
      held_ = handle;
      return;
    }
    handle->holders.fetch_sub(1);
    CloseIfIdle(handle);
    if (status_ != CACHE_OK) return;  // the mutex can no longer be taken
  }
  // No handle of the process's (or it is being shut down): one for this scope alone.
  // Opening by name also finds a mutex that a server made after this process started.
  platform::GlobalMutex* mutex = nullptr;
  if (!platform::OpenGlobalMutex(&mutex).ok()) {
    status_ = CACHE_E_MUTEX_OPEN;
    return;
  }
  if (!Take(mutex)) {
    platform::CloseGlobalMutex(mutex);
    return;
  }
  own_ = mutex;
}

bool CacheLock::Take(platform::GlobalMutex* mutex) {
  const platform::LockOutcome outcome = platform::LockGlobalMutex(mutex);
  if (outcome == platform::LockOutcome::Failed) {
    status_ = CACHE_E_MUTEX_OPEN;
    return false;
  }
  outer_ = heldByThread;
  heldByThread = mutex;
  ++holdSerial;
  if (outcome == platform::LockOutcome::OwnerDied) {
    // Not on a server's view whose object was shrunk under it: nothing there to mend.
    if (CheckServerView() == CACHE_OK) RepairAfterOwnerDeath();
    platform::MarkGlobalMutexConsistent(mutex);
  }
  return true;
}

CacheLock::~CacheLock() {
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

ProcessLock::ProcessLock() : held_(ProcessRegion().processLock.load()) {
  if (held_) platform::LockProcessMutex(held_);
}

ProcessLock::~ProcessLock() {
  if (held_) platform::UnlockProcessMutex(held_);
}

}  // namespace tq5::region
