// POSIX shared-memory objects (the section, the statistics object, the mutex object and
// a client's views): the system calls through a table that tests can replace, and the
// two steps every object goes through, made once: created anew with its access and
// size, and mapped whole.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/object_access.h"
#include "platform/platform.h"
#include "platform/status.h"

namespace tq5::platform {

// One entry per system call, each failing as the call does (-1 or MAP_FAILED, errno set).
struct SharedMemoryCalls {
  int (*open)(const char* name, int flags, mode_t mode);
  int (*unlink)(const char* name);
  int (*truncate)(int fd, off_t size);
  int (*stat)(int fd, struct stat* st);
  void* (*map)(std::size_t size, int fd);  // read-write, shared, from offset 0
  int (*unmap)(void* base, std::size_t size);
};

// The calls in use: the system's own unless a test replaced them.
const SharedMemoryCalls& SharedMemory();
// For tests: puts `calls` in use and returns the ones they replace. No call of the
// library may run meanwhile.
SharedMemoryCalls ReplaceSharedMemoryCalls(const SharedMemoryCalls& calls);

// What to answer when an object under the name cannot be removed to make room for a
// new one; called straight after the failed shm_unlink, with errno as it left it.
using RefuseSquatter = Status (*)(const std::string& name);

// Creates the object `name` anew (never one someone else made first), with the mode and
// group `access` gives it and `size` zero bytes, open read-write as *fd. An object
// already under the name is removed first when `squatted` is given (the caller knows no
// live process of the cache holds it; `squatted` answers when it cannot be removed);
// without it, *exists is set and nothing is made. A failure (`code`, with the call that
// failed) leaves nothing under the name and nothing open.
Status CreateSharedObject(const std::string& name, off_t size, const ObjectAccess& access,
                          ResultCode code, RefuseSquatter squatted, int* fd,
                          bool* exists = nullptr);

// Maps the whole object open as `fd`, read-write, and registers the mapping with the
// fault guard: *view and *size (the object's size now). An object smaller than
// `atLeast` bytes (an empty one always) is refused. Failures answer `code`.
Status MapSharedObject(int fd, const std::string& name, ResultCode code, std::size_t atLeast,
                       void** view, std::size_t* size);

// Removes the object `name` for the clean-up of a crashed server's leftovers, once the
// caller has found that no live process needs it: None when there was none, Removed, or
// Failed with the system's reason in *detail.
Leftover UnlinkLeftover(const std::string& name, std::string* detail);

}  // namespace tq5::platform
