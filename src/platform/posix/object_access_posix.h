// How the POSIX objects and files carry the access: a mode, and in the restricted case
// the group as their owning group.
#pragma once

#include <sys/types.h>

#include "platform/object_access.h"

namespace tq5::platform {

// The shm objects: read-write for everyone, or for the owner and the group only.
inline mode_t ObjectMode(const ObjectAccess& access) { return access.restricted ? 0660 : 0666; }
// The cache file and its temporary file, restricted: nobody outside the group reads it.
inline constexpr mode_t kRestrictedFileMode = 0640;

// Gives the object or file open as `fd` the access's group (when restricted) and then
// `mode`: created with at most that mode, it is never open to more than intended, and
// the explicit mode undoes what the umask took away. False when either call failed.
bool ApplyAccess(int fd, const ObjectAccess& access, mode_t mode);

}  // namespace tq5::platform
