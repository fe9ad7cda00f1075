#include "region/region_state.h"

#include "region/server_access.h"
#include "region/statistics.h"

namespace tq5::region {

ProcessState& ProcessRegion() {
  static ProcessState state;
  return state;
}

ResultCode CreateRegion(int32_t roleCapacity, int32_t userCapacity) {
  ProcessState& state = ProcessRegion();
  if (state.regionMapping) return CACHE_E_REGION_EXISTS;
  // A section's size is 32 bits; capacities beyond that cannot describe a region.
  if (!ValidCapacities(roleCapacity, userCapacity)) return CACHE_E_CREATE_MAPPING;
  const auto size = static_cast<uint32_t>(RegionSize(roleCapacity, userCapacity));
  platform::ObjectAccess access;
  if (!ServerAccess(&access)) return CACHE_E_CREATE_MAPPING;
  CacheMutexHandle* handle = state.cacheMutex.load();
  const ResultCode rc =
      platform::CreateSection(size, &state.regionMapping, handle ? handle->mutex : nullptr, access);
  if (rc == CACHE_OK) {
    state.createdRoleCapacity = roleCapacity;
    state.createdUserCapacity = userCapacity;
    // In the same hold of the mutex as the region, so that no client finds the region
    // of this server beside the statistics of another. Without it the cache works the
    // same; it only goes uncounted.
    CreateStatistics(access);
  }
  return rc;
}

ResultCode OpenRegion() {
  ProcessState& state = ProcessRegion();
  if (state.regionMapping) return CACHE_E_REGION_ALREADY_OPEN;
  CacheMutexHandle* handle = state.cacheMutex.load();
  return platform::OpenSection(&state.regionMapping, handle ? handle->mutex : nullptr);
}

ResultCode MapRegion() {
  ProcessState& state = ProcessRegion();
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
  ProcessState& state = ProcessRegion();
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
  ProcessState& state = ProcessRegion();
  if (!state.regionView) return CACHE_E_REGION_NOT_MAPPED;
  if (!state.regionMapping) {
    state.regionView = {};
    return CACHE_E_REGION_NOT_OPEN;
  }
  return platform::FlushView(state.regionView.base, state.regionView.size) ? CACHE_OK
                                                                           : CACHE_E_FLUSH_VIEW;
}

void CloseMapping() {
  ProcessState& state = ProcessRegion();
  if (state.createdRoleCapacity >= 0) RemoveStatistics();
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
  ProcessRegion().regionView = {};
  return CACHE_OK;
}

}  // namespace tq5::region
