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
  // The lock's own scope has not attached anything yet; the server keeps its view.
  const bool attach = state.regionMapping == nullptr;
  if (attach && AttachRegion() != CACHE_OK) return;
  if (state.regionView && !CheckRegion(state.regionView, /*repair=*/true).sound()) {
    FlushRegion();
    repairsMade.fetch_add(1);
  }
  if (state.regionView) Count(Counter::Repairs);
  if (attach) DetachRegion();
}

uint64_t RepairsMade() { return repairsMade.load(); }

}  // namespace tq5::region
