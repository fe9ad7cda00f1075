#include "directory/directory_access.h"

#include <new>

#include "directory/fetch_context.h"
#include "region/call_patterns.h"

namespace tq5::directory {

void RetireObject(FetchState& fetch, platform::DirectoryObject* object) {
  if (!object) return;
  // Without a node the object is merely unreachable, which is what letting it go means.
  if (auto* node = new (std::nothrow) RetiredObject{object, fetch.retired}) fetch.retired = node;
}

const DirectoryAccess& PlatformDirectoryAccess() {
  static const DirectoryAccess access{platform::JoinApartment, platform::LeaveApartment,
                                      platform::CreateDirectoryObject, platform::ToComponentString};
  return access;
}

void UseDirectoryAccess(const DirectoryAccess* access) {
  region::ProcessLock lock;
  FetchState& fetch = ProcessDirectory().fetch;
  RetireObject(fetch, fetch.authorizationObject);
  fetch.authorizationObject = nullptr;
  fetch.access = access;
}

void ForgetDirectoryObject() {
  region::ProcessLock lock;
  FetchState& fetch = ProcessDirectory().fetch;
  RetireObject(fetch, fetch.authorizationObject);
  fetch.authorizationObject = nullptr;
}

}  // namespace tq5::directory
