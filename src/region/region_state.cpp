#include "region/region_state.h"

#include <string>

#include "region/server_access.h"
#include "region/statistics.h"
#include "region/user_index.h"

namespace tq5::region {

namespace {

// A view that cannot even hold a header is not a region of ours: CACHE_E_MAP_VIEW.
platform::Status TooSmallForAHeader(std::size_t size) {
  return platform::Status::Refused(
      CACHE_E_MAP_VIEW, "map", platform::ObjectName(platform::kSectionName),
      "the object holds " + std::to_string(size) + " bytes, fewer than a region's header");
}

}  // namespace

ProcessState& ProcessRegion() {
  static ProcessState state;
  return state;
}

platform::Status CreateRegion(int32_t roleCapacity, int32_t userCapacity, uint32_t negativeSeconds) {
  ProcessState& state = ProcessRegion();
  if (state.regionMapping) return platform::Status::Answer(CACHE_E_REGION_EXISTS);
  // A section's size is 32 bits; capacities beyond that cannot describe a region.
  if (!ValidCapacities(roleCapacity, userCapacity)) {
    return platform::Status::Refused(CACHE_E_CREATE_MAPPING, "CreateRegion", "",
                                     std::to_string(roleCapacity) + " roles and " +
                                         std::to_string(userCapacity) +
                                         " users make no region of 32-bit size");
  }
  const auto size = static_cast<uint32_t>(RegionSize(roleCapacity, userCapacity));
  platform::ObjectAccess access;
  if (platform::Status refused = ServerAccess(&access); !refused.ok()) {
    return platform::Status::After(CACHE_E_CREATE_MAPPING);
  }
  platform::Status created = platform::CreateSection(size, &state.regionMapping, access);
  if (created.ok()) {
    state.createdRoleCapacity = roleCapacity;
    state.createdUserCapacity = userCapacity;
    // In the same hold of the mutex as the region, so that no client finds the region
    // of this server beside the statistics or the index of another. Without them the
    // cache works the same; it only goes uncounted, and finds users by scans.
    CreateStatistics(access);
    CreateUserIndex(access, userCapacity, negativeSeconds);
  }
  return created;
}

platform::Status MapRegion() {
  ProcessState& state = ProcessRegion();
  state.regionView = {};
  if (!state.regionMapping) return platform::Status::Answer(CACHE_E_REGION_NOT_OPEN);
  void* view = nullptr;
  std::size_t size = 0;
  const platform::Status mapped = platform::MapSection(state.regionMapping, &view, &size);
  if (!mapped.ok()) return mapped;
  if (size < kHeaderSize) {
    // The refusal is what the caller hears; an unmap that fails as well adds nothing.
    const platform::Status unmapped = platform::UnmapSection(state.regionMapping, view, size);
    static_cast<void>(unmapped);
    return TooSmallForAHeader(size);
  }
  state.regionView = {static_cast<uint8_t*>(view), size};
  return {};
}

platform::Status UnmapRegion() {
  ProcessState& state = ProcessRegion();
  if (!state.regionView) return platform::Status::Answer(CACHE_E_REGION_NOT_MAPPED);
  if (!state.regionMapping) {
    state.regionView = {};
    return platform::Status::Answer(CACHE_E_REGION_NOT_OPEN);
  }
  const platform::Status unmapped =
      platform::UnmapSection(state.regionMapping, state.regionView.base, state.regionView.size);
  if (!unmapped.ok()) return unmapped;
  state.regionView = {};
  return {};
}

platform::Status FlushRegionView() {
  ProcessState& state = ProcessRegion();
  if (!state.regionView) return platform::Status::Answer(CACHE_E_REGION_NOT_MAPPED);
  if (!state.regionMapping && !state.clientView) {
    state.regionView = {};
    return platform::Status::Answer(CACHE_E_REGION_NOT_OPEN);
  }
  return platform::FlushView(state.regionView.base, state.regionView.size);
}

platform::Status CheckServerView() {
  const ProcessState& state = ProcessRegion();
  if (!state.regionMapping || !state.regionView) return {};
  return platform::CheckSectionSize(state.regionMapping, state.regionView.base,
                                    state.regionView.size);
}

void CloseMapping() {
  ProcessState& state = ProcessRegion();
  if (state.createdRoleCapacity >= 0) {
    RemoveStatistics();
    RemoveUserIndex();
  }
  if (state.regionMapping) platform::CloseSection(state.regionMapping);
  state.regionMapping = nullptr;
  state.createdRoleCapacity = state.createdUserCapacity = -1;
}

platform::Status AcquireRegionView() {
  ProcessState& state = ProcessRegion();
  if (state.regionMapping || state.clientView) {
    return platform::Status::Answer(CACHE_E_REGION_ALREADY_OPEN);
  }
  void* base = nullptr;
  std::size_t size = 0;
  const platform::Status acquired = platform::AcquireRegionView(&state.clientView, &base, &size);
  if (!acquired.ok()) return acquired;
  if (size < kHeaderSize) {
    // Let go of it again, or every later call of the process would take it for a
    // usable view.
    ReleaseRegionView();
    return TooSmallForAHeader(size);
  }
  state.regionView = {static_cast<uint8_t*>(base), size};
  return {};
}

void ReleaseRegionView() {
  ProcessState& state = ProcessRegion();
  platform::ReleaseRegionView(state.clientView);
  state.clientView = nullptr;
  state.regionView = {};
}

}  // namespace tq5::region
