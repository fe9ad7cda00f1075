#include "region/owner_death.h"

#include <atomic>
#include <string>

#include "region/region_state.h"
#include "region/statistics.h"
#include "region/user_index.h"

namespace tq5::region {

namespace {
std::atomic<uint64_t> repairsMade{0};

// The last occupied entry's index plus one.
template <typename Entry>
int32_t OccupiedMark(const Entry* entries, int32_t capacity) {
  int32_t mark = 0;
  for (int32_t i = 0; i < capacity; ++i) {
    if (entries[i].inUse == 1) mark = i + 1;
  }
  return mark;
}

// The process that made the region knows its capacities; a header that names others
// (scribbled over, zeroed) gets them back, with marks that reach every occupied entry
// again, so that the rest of the repair can bind the tables and recount.
void RestoreCreatedCapacities(const ProcessState& state, RegionFindings* findings) {
  const int32_t roles = state.createdRoleCapacity;
  const int32_t users = state.createdUserCapacity;
  const MappedRegion& view = state.regionView;
  if (roles < 0 || users < 0 || view.size < RegionSize(roles, users)) return;
  CacheHeader& header = view.header();
  if (header.roleCapacity == roles && header.userCapacity == users) return;
  findings->lines.push_back("capacities are " + std::to_string(header.roleCapacity) + " and " +
                            std::to_string(header.userCapacity) + ", should be " +
                            std::to_string(roles) + " and " + std::to_string(users));
  header.roleCapacity = roles;
  header.userCapacity = users;
  const auto* roleTable = reinterpret_cast<const RoleEntry*>(view.base + kHeaderSize);
  const auto* userTable =
      reinterpret_cast<const UserEntry*>(view.base + kHeaderSize + kRoleEntrySize * roles);
  header.roleHighWater = OccupiedMark(roleTable, roles);
  header.userHighWater = OccupiedMark(userTable, users);
}

// Mends the region in the process's view; the findings it mended.
RegionFindings Repair(const ProcessState& state) {
  RegionFindings findings;
  RestoreCreatedCapacities(state, &findings);
  RegionFindings checked = CheckRegion(state.regionView, /*repair=*/true);
  findings.unbound = checked.unbound;
  findings.lines.insert(findings.lines.end(), checked.lines.begin(), checked.lines.end());
  if (!findings.sound()) {
    FlushRegion();
    repairsMade.fetch_add(1);
  }
  return findings;
}

}  // namespace

void RepairAfterOwnerDeath() {
  ProcessState& state = ProcessRegion();
  // The lock's own scope has not acquired a view yet; the server keeps its own.
  const bool acquire = state.regionMapping == nullptr && state.clientView == nullptr;
  if (acquire && AcquireRegionView() != CACHE_OK) return;
  if (state.regionView) {
    Repair(state);
    // The dead owner may have been in the middle of a change to the index too: it is
    // built again from the mended table, whatever it held. (The server's own repair
    // before each of its tasks leaves it alone: lookups mend what they find wrong, and
    // a rebuild of a large table is not for every few hundred milliseconds.)
    RebuildUserIndex();
    Count(Counter::Repairs);
  }
  if (acquire) ReleaseRegionView();
}

RegionFindings RepairServerRegion() {
  const ProcessState& state = ProcessRegion();
  if (!state.regionMapping || !state.regionView) return {};
  if (CheckServerView() != CACHE_OK) return {};  // a shrunk object: nothing there to mend
  return Repair(state);
}

uint64_t RepairsMade() { return repairsMade.load(); }

}  // namespace tq5::region
