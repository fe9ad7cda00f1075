#include "support/directory_hooks.h"

#include "directory/fetch_context.h"
#include "region/locks.h"

namespace tq5::directory {

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
