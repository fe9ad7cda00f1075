#include "exports/load_hook.h"

#include "platform/platform.h"
#include "region/region_state.h"

namespace tq5::exports {

bool OnProcessAttach() {
  auto& lock = region::ProcessRegion().processLock;
  if (!lock.load()) lock.store(platform::CreateProcessMutex());
  return lock.load() != nullptr;
}

void OnProcessDetach() {
  if (platform::ProcessMutex* lock = region::ProcessRegion().processLock.exchange(nullptr)) {
    platform::DestroyProcessMutex(lock);
  }
}

}  // namespace tq5::exports
