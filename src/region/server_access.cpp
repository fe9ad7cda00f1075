#include "region/server_access.h"

#include <mutex>

namespace tq5::region {

namespace {

// Set by the start-up and read by the creation of the region and the cache file's
// writes, which may run on other threads.
std::mutex accessLock;
bool resolved = false;                                         // guarded by accessLock
platform::ObjectAccess& access = *new platform::ObjectAccess;  // guarded by accessLock

bool ResolveLocked() {
  std::string why;
  platform::ObjectAccess fresh;
  if (!platform::ResolveObjectAccess(&fresh, &why)) {
    platform::NoteAccessProblem(why);
    return false;
  }
  access = std::move(fresh);
  resolved = true;
  return true;
}

}  // namespace

bool ResolveServerAccess() {
  std::lock_guard<std::mutex> guard(accessLock);
  resolved = false;
  return ResolveLocked();
}

bool ServerAccess(platform::ObjectAccess* out) {
  std::lock_guard<std::mutex> guard(accessLock);
  if (!resolved && !ResolveLocked()) return false;
  *out = access;
  return true;
}

void ForgetServerAccess() {
  std::lock_guard<std::mutex> guard(accessLock);
  resolved = false;
}

}  // namespace tq5::region
