#include "region/owner_death.h"

#include <atomic>

#include "region/region_check.h"
#include "region/region_state.h"
#include "region/statistics.h"

namespace tq5::region {

namespace {
std::atomic<uint64_t> repairsMade{0};
}  // namespace

void RepairAfterOwnerDeath() {
  ProcessState& state = ProcessRegion();
  // The lock's own scope has not acquired a view yet; the server keeps its own.
  const bool acquire = state.regionMapping == nullptr && state.clientView == nullptr;
  if (acquire && AcquireRegionView() != CACHE_OK) return;
  if (state.regionView && !CheckRegion(state.regionView, /*repair=*/true).sound()) {
    FlushRegion();
    repairsMade.fetch_add(1);
  }
  if (state.regionView) Count(Counter::Repairs);
  if (acquire) ReleaseRegionView();
}

uint64_t RepairsMade() { return repairsMade.load(); }

}  // namespace tq5::region
