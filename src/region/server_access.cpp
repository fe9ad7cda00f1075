#include "region/server_access.h"

#include <mutex>

namespace tq5::region {

namespace {

// Set by the start-up and read by the creation of the region and the cache file's
// writes, which may run on other threads.
std::mutex accessLock;
bool resolved = false;                                         // guarded by accessLock
platform::ObjectAccess& access = *new platform::ObjectAccess;  // guarded by accessLock

platform::Status ResolveLocked() {
  std::string why;
  platform::ObjectAccess fresh;
  if (!platform::ResolveObjectAccess(&fresh, &why)) {
    return platform::RefuseAccess(CACHE_E_MUTEX_CREATE, "resolve", platform::kAccessSetting, why);
  }
  access = std::move(fresh);
  resolved = true;
  return {};
}

}  // namespace

platform::Status ResolveServerAccess() {
  std::lock_guard<std::mutex> guard(accessLock);
  resolved = false;
  return ResolveLocked();
}

platform::Status ServerAccess(platform::ObjectAccess* out) {
  std::lock_guard<std::mutex> guard(accessLock);
  if (!resolved) {
    platform::Status status = ResolveLocked();
    if (!status.ok()) return status;
  }
  *out = access;
  return {};
}

void ForgetServerAccess() {
  std::lock_guard<std::mutex> guard(accessLock);
  resolved = false;
}

}  // namespace tq5::region
