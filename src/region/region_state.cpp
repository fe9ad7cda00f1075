#include "region/region_state.h"

#include <deque>
#include <mutex>

#include "region/owner_death.h"

namespace tq5::region {

ProcessState& State() {
  static ProcessState state;
  return state;
}

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

void AdoptCacheMutex(platform::GlobalMutex* mutex) { State().cacheMutex.store(NewHandle(mutex)); }

void ReleaseCacheMutex() {
  if (CacheMutexHandle* handle = State().cacheMutex.exchange(nullptr)) {
    handle->closing.store(true);
    CloseIfIdle(handle);
  }
}

CacheLock::CacheLock() {
  CacheMutexHandle* handle = State().cacheMutex.load();
  if (!handle) return;
  // Counted before `closing` is read, so that a shut-down either sees this lock and
  // leaves the closing to its release, or has closed before and is seen here.
  handle->holders.fetch_add(1);
  if (handle->closing.load()) {
    handle->holders.fetch_sub(1);
    CloseIfIdle(handle);
    return;  // shut down: the scope runs unguarded, as without a start-up
  }
  switch (platform::LockGlobalMutex(handle->mutex)) {
    case platform::LockOutcome::Taken:
      break;
    case platform::LockOutcome::OwnerDied:
      RepairAfterOwnerDeath();
      platform::MarkGlobalMutexConsistent(handle->mutex);
      break;
    case platform::LockOutcome::Failed:
      handle->holders.fetch_sub(1);
      CloseIfIdle(handle);
      status_ = CACHE_E_MUTEX_OPEN;
      return;
  }
  held_ = handle;
}

CacheLock::~CacheLock() {
  if (!held_) return;
  platform::UnlockGlobalMutex(held_->mutex);
  held_->holders.fetch_sub(1);
  CloseIfIdle(held_);
}

void LockProcess() {
  if (platform::ProcessMutex* lock = State().processLock.load()) platform::LockProcessMutex(lock);
}

void UnlockProcess() {
  if (platform::ProcessMutex* lock = State().processLock.load()) {
    platform::UnlockProcessMutex(lock);
  }
}

ResultCode CreateRegion(int32_t roleCapacity, int32_t userCapacity) {
  ProcessState& state = State();
  if (state.regionMapping) return CACHE_E_REGION_EXISTS;
  // A section's size is 32 bits; capacities beyond that cannot describe a region.
  if (!ValidCapacities(roleCapacity, userCapacity)) return CACHE_E_CREATE_MAPPING;
  const auto size = static_cast<uint32_t>(RegionSize(roleCapacity, userCapacity));
  CacheMutexHandle* handle = state.cacheMutex.load();
  const ResultCode rc =
      platform::CreateSection(size, &state.regionMapping, handle ? handle->mutex : nullptr);
  if (rc == CACHE_OK) {
    state.createdRoleCapacity = roleCapacity;
    state.createdUserCapacity = userCapacity;
  }
  return rc;
}

ResultCode OpenRegion() {
  ProcessState& state = State();
  if (state.regionMapping) return CACHE_E_REGION_ALREADY_OPEN;
  CacheMutexHandle* handle = state.cacheMutex.load();
  return platform::OpenSection(&state.regionMapping, handle ? handle->mutex : nullptr);
}

ResultCode MapRegion() {
  ProcessState& state = State();
  state.regionView = {};
  if (!state.regionMapping) return CACHE_E_REGION_NOT_OPEN;
  void* view = nullptr;
  std::size_t size = 0;
  if (!platform::MapSection(state.regionMapping, &view, &size)) return CACHE_E_MAP_VIEW;
  if (size < kHeaderSize) {
    // Not a region of ours: it cannot even hold a header.
    platform::UnmapSection(state.regionMapping, view, size);
    return CACHE_E_MAP_VIEW;
  }
  state.regionView = {static_cast<uint8_t*>(view), size};
  return CACHE_OK;
}

ResultCode UnmapRegion() {
  ProcessState& state = State();
  if (!state.regionView) return CACHE_E_REGION_NOT_MAPPED;
  if (!state.regionMapping) {
    state.regionView = {};
    return CACHE_E_REGION_NOT_OPEN;
  }
  if (!platform::UnmapSection(state.regionMapping, state.regionView.base, state.regionView.size)) {
    return CACHE_E_UNMAP_VIEW;
  }
  state.regionView = {};
  return CACHE_OK;
}

ResultCode FlushRegion() {
  ProcessState& state = State();
  if (!state.regionView) return CACHE_E_REGION_NOT_MAPPED;
  if (!state.regionMapping) {
    state.regionView = {};
    return CACHE_E_REGION_NOT_OPEN;
  }
  return platform::FlushView(state.regionView.base, state.regionView.size) ? CACHE_OK
                                                                           : CACHE_E_FLUSH_VIEW;
}

void CloseMapping() {
  ProcessState& state = State();
  if (state.regionMapping) platform::CloseSection(state.regionMapping);
  state.regionMapping = nullptr;
  state.createdRoleCapacity = state.createdUserCapacity = -1;
}

ResultCode AttachRegion() {
  ResultCode rc = OpenRegion();
  if (rc != CACHE_OK) return rc;
  rc = MapRegion();
  if (rc != CACHE_OK) {
    // Close the section again: left open, every later call of the process would take
    // it for the server's region and answer -104 for good.
    CloseMapping();
  }
  return rc;
}

ResultCode DetachRegion() {
  ResultCode rc = UnmapRegion();
  if (rc != CACHE_OK) return rc;
  CloseMapping();
  State().regionView = {};
  return CACHE_OK;
}

}  // namespace tq5::region
