// The objects beside the region on POSIX (the statistics, the user index): small named
// shm objects. Like the region's, their names outlive their handles, so the server
// removes them when it shuts the region down, and a server that finds a crashed one's
// leftover replaces it.
//
// Every handle of the global cache mutex keeps one mapping of each. Servers record each
// region they create or remove beside the mutex (a generation), and a server creates its
// objects in the same hold of the mutex as its region: so a kept mapping belongs to the
// current region exactly while the generation it was opened in is the recorded one,
// which a call checks without asking the kernel.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/fault_guard_posix.h"
#include "platform/posix/global_mutex_posix.h"
#include "platform/posix/object_access_posix.h"
#include "platform/posix/shared_object_posix.h"

namespace tq5::platform {

struct SideObject {
  std::string name;
  dev_t device;
  ino_t inode;
  void* view;
  std::size_t size;
};

namespace {

// Maps the whole object open as `fd` when it holds at least `size` bytes.
void* MapAtLeast(int fd, const std::string& name, std::size_t size, std::size_t* mapped) {
  void* p = nullptr;
  return MapSharedObject(fd, name, CACHE_E_CREATE_MAPPING, size, &p, mapped).ok() ? p : nullptr;
}

// An object under the name that cannot be removed: no statistics for this region.
Status NotRemovable(const std::string& name) {
  return Status::Failed(CACHE_E_CREATE_MAPPING, "shm_unlink", name);
}

}  // namespace

ResultCode CreateSideObject(SideObjectKind kind, uint32_t size, SideObject** out, void** view,
                            const ObjectAccess& access) {
  *out = nullptr;
  *view = nullptr;
  const std::string name = ObjectName(SideObjectBaseName(kind));
  // The caller has just created the region, so no live server owns one under the name.
  int fd = -1;
  const Status created = CreateSharedObject(name, static_cast<off_t>(size), access,
                                            CACHE_E_CREATE_MAPPING, NotRemovable, &fd);
  if (!created.ok()) return created.code();
  struct stat st {};
  std::size_t mapped = 0;
  void* p = nullptr;
  if (SharedMemory().stat(fd, &st) == 0) p = MapAtLeast(fd, name, size, &mapped);
  close(fd);
  if (!p) {
    SharedMemory().unlink(name.c_str());
    return CACHE_E_CREATE_MAPPING;
  }
  auto* object = new (std::nothrow) SideObject{name, st.st_dev, st.st_ino, p, mapped};
  if (!object) {
    SharedMemory().unmap(p, mapped);
    UnregisterMapping(p);
    SharedMemory().unlink(name.c_str());
    return CACHE_E_NO_MEMORY;
  }
  *out = object;
  *view = p;
  return CACHE_OK;
}

void CloseSideObject(SideObject* object) {
  if (!object) return;
  // Removed only while the name is still ours: a newer server may have replaced it.
  const int fd = SharedMemory().open(object->name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd >= 0) {
    struct stat named {};
    if (fstat(fd, &named) == 0 && named.st_dev == object->device && named.st_ino == object->inode) {
      SharedMemory().unlink(object->name.c_str());
    }
    close(fd);
  }
  SharedMemory().unmap(object->view, object->size);
  UnregisterMapping(object->view);
  delete object;
}

void* SideObjectView(GlobalMutex* guard, SideObjectKind kind, uint32_t size, std::size_t* mapped) {
  if (!guard) return nullptr;
  KeptSideObject& kept = SideObjectKeptBy(guard, kind);
  const uint64_t generation = CurrentRegion(guard).generation;
  if (kept.looked && kept.generation == generation) {
    if (!kept.view || kept.size < size) return nullptr;
    // Any process that may write the object may shrink it under the view; one that a
    // fault left with private pages is let go and looked for again at the next use.
    if (MappingDamaged(kept.view)) {
      ReleaseKeptSideObject(&kept);
      return nullptr;
    }
    struct stat st {};
    if (fstat(kept.fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < kept.size)
      return nullptr;
    if (mapped) *mapped = kept.size;
    return kept.view;
  }
  // A new region since the last look: its server made a new object (or none).
  ReleaseKeptSideObject(&kept);
  kept.looked = true;
  kept.generation = generation;
  const std::string name = ObjectName(SideObjectBaseName(kind));
  const int fd = SharedMemory().open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  kept.view = MapAtLeast(fd, name, size, &kept.size);
  if (kept.view) {
    kept.fd = fd;
    if (mapped) *mapped = kept.size;
  } else {
    close(fd);
  }
  return kept.view;
}

void ReleaseKeptSideObject(KeptSideObject* kept) {
  if (kept->view) {
    SharedMemory().unmap(kept->view, kept->size);
    UnregisterMapping(kept->view);
  }
  if (kept->fd >= 0) close(kept->fd);
  *kept = KeptSideObject{};
}


}  // namespace tq5::platform
