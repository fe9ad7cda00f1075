// What the POSIX section tells the kept views (kept_views_posix.cpp) when a server
// creates or removes the region.
#pragma once

#include <string>

namespace tq5::platform {

// A server has just created the region `name` as the object open as `fd`, or removed
// it: this process's views of an older region under the name go once idle, and, when
// the thread holds the global cache mutex, the change is recorded beside it for every
// other process.
void NoteRegionCreated(const std::string& name, int fd);
void NoteRegionRemoved(const std::string& name);

}  // namespace tq5::platform
