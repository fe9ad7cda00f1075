#include "directory/directory_access.h"

#include <new>

#include "directory/fetch_context.h"

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

}  // namespace tq5::directory
