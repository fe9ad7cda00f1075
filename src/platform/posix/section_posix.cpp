// The shared section on POSIX: a named shm object. Unlike a Windows section, the name
// outlives its handles, so the creator removes it when it closes (the server's
// shut-down), and a creator that finds an object no live server holds (a crashed
// server's leftover, or another account's) replaces it.
// Clients do not open the section: they acquire a view of the region
// (kept_views_posix.cpp), which this file tells when a server creates or removes it.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "platform/posix/fault_guard_posix.h"
#include "platform/posix/global_mutex_posix.h"
#include "platform/posix/kept_views_posix.h"
#include "platform/posix/object_access_posix.h"
#include "platform/posix/shared_object_posix.h"

namespace tq5::platform {

// The server's section, which it created, and its hold on the server lock.
struct Section {
  int fd;
  std::string name;
  int serverLock;  // the mutex object, open for as long as the server holds the region
};

namespace {

// A live server holds a write lock on byte 0 of the global cache mutex's object for as
// long as it holds its region; the kernel drops it when the process ends, however it
// ends. The lock is on the mutex object because that object is never removed while
// programs of the cache run: a region whose name was removed under its server (a
// clean-up of an account's objects at logout) still has its server counted, and an
// object that another account put under the region's name first, with or without a
// lock, counts for nothing. The lock is an open file description lock: it stays while
// the server's descriptor stays open, whatever other descriptors of the object the
// process opens and closes. Only a classic record lock names its holder, and it goes
// when the process closes any descriptor of the object, so one on byte 1 says which
// process the server is, as long as it lasts.
constexpr off_t kLivenessByte = 0;
constexpr off_t kServerIdByte = 1;

struct flock ByteLock(off_t byte) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

// Whether a live process holds the server lock on the mutex object open as `fd`, and
// which one (0 when it cannot be told).
bool LivenessHolder(int fd, pid_t* pid) {
  struct flock live = ByteLock(kLivenessByte);
  if (fcntl(fd, F_OFD_GETLK, &live) != 0 || live.l_type == F_UNLCK) return false;
  struct flock id = ByteLock(kServerIdByte);
  *pid = fcntl(fd, F_GETLK, &id) == 0 && id.l_type != F_UNLCK && id.l_pid > 0 ? id.l_pid : 0;
  return true;
}

// Whether a live server holds the region of the current names, and its process id
// when known.
bool RegionHolder(pid_t* pid) {
  int fd = SharedMemory().open(ObjectName(kCacheMutexName).c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;  // no mutex: no server could have made a region
  const bool live = LivenessHolder(fd, pid);
  close(fd);
  return live;
}

std::string HeldBy(pid_t holder) {
  return "held by a live server" +
         (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string());
}

// Takes the server lock into *out (the mutex object's descriptor): CACHE_E_REGION_EXISTS
// while another live server holds it, CACHE_E_CREATE_MAPPING when the mutex object
// cannot be opened for it.
Status TakeServerLock(const std::string& sectionName, int* out) {
  const std::string mutexName = ObjectName(kCacheMutexName);
  int fd = SharedMemory().open(mutexName.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return Status::Failed(CACHE_E_CREATE_MAPPING, "shm_open", mutexName);
  struct flock live = ByteLock(kLivenessByte);
  if (fcntl(fd, F_OFD_SETLK, &live) != 0) {
    Status status = errno == EAGAIN || errno == EACCES
                        ? Status()
                        : Status::Failed(CACHE_E_CREATE_MAPPING, "fcntl(F_OFD_SETLK)", mutexName);
    if (status.ok()) {
      pid_t holder = 0;
      LivenessHolder(fd, &holder);
      status = Status::Refused(CACHE_E_REGION_EXISTS, "shm_open", sectionName, HeldBy(holder));
    }
    close(fd);
    return status;
  }
  struct flock id = ByteLock(kServerIdByte);
  fcntl(fd, F_SETLK, &id);  // only for naming the server; it may be lost
  *out = fd;
  return {};
}

// The refusal for an object under the region's name that this server may not remove.
Status Squatted(const std::string& name) {
  const int error = errno;
  struct stat st {};
  std::string owner = "another account";
  if (stat(("/dev/shm" + name).c_str(), &st) == 0) {
    owner =
        "user " + DescribeObject(kSectionName).owner + " (uid " + std::to_string(st.st_uid) + ")";
  }
  const std::string why = "the object /dev/shm" + name + " belongs to " + owner +
                          ", not to a live cache server, and this account may not remove it (" +
                          SystemErrorText(error) +
                          "); remove it with `orvcache cleanup` run as root, then start the "
                          "server again";
  return RefuseAccess(CACHE_E_CREATE_MAPPING, "shm_unlink", name, why);
}

}  // namespace

Status CreateSection(uint32_t size, Section** out, const ObjectAccess& access) {
  // Everything that allocates comes before the first object is made, so that a failed
  // allocation leaves nothing behind (an object held open would pass for a live server).
  auto made = std::make_unique<Section>(Section{-1, ObjectName(kSectionName), -1});
  const std::string& name = made->name;
  // Servers create the region while they hold the global cache mutex, so no other
  // start-up is half-way through; the server lock says whether a live server holds a
  // region, whatever is under the region's name.
  int serverLock = -1;
  Status status = TakeServerLock(name, &serverLock);
  if (!status.ok()) return status;
  // No live server holds an object under the name: a crashed server's leftover, or an
  // object another process put there. Either way it is replaced, never used.
  int fd = -1;
  status = CreateSharedObject(name, static_cast<off_t>(size), access, CACHE_E_CREATE_MAPPING,
                              Squatted, &fd);
  if (!status.ok()) {
    close(serverLock);
    return status;
  }
  NoteRegionCreated(name, fd);
  made->fd = fd;
  made->serverLock = serverLock;
  *out = made.release();
  return {};
}

bool LiveServerHoldsRegion() {
  pid_t holder = 0;
  return RegionHolder(&holder);
}

unsigned long RegionServerProcessId() {
  pid_t holder = 0;
  return RegionHolder(&holder) ? static_cast<unsigned long>(holder) : 0;
}

Status MapSection(Section* section, void** view, std::size_t* size) {
  return MapSharedObject(section->fd, section->name, CACHE_E_MAP_VIEW, 1, view, size);
}

Status CheckSectionSize(Section* section, void* view, std::size_t size) {
  if (MappingDamaged(view) && !RestoreMapping(view, size, section->fd)) {
    return Status::Refused(CACHE_E_MAP_VIEW, "mmap", section->name,
                           "the object was shrunk under the view, which cannot be mapped again");
  }
  struct stat st {};
  if (fstat(section->fd, &st) != 0) return Status::Failed(CACHE_E_MAP_VIEW, "fstat", section->name);
  if (static_cast<uint64_t>(st.st_size) < size) {
    return Status::Refused(CACHE_E_MAP_VIEW, "fstat", section->name,
                           "the object was shrunk to " + std::to_string(st.st_size) +
                               " bytes under a view of " + std::to_string(size));
  }
  return {};
}

Status UnmapSection(Section* section, void* view, std::size_t size) {
  if (SharedMemory().unmap(view, size) != 0)
    return Status::Failed(CACHE_E_UNMAP_VIEW, "munmap", section->name);
  UnregisterMapping(view);
  return {};
}

Status FlushView(void* view, std::size_t size) {
  if (msync(view, size, MS_SYNC) != 0) {
    return Status::Failed(CACHE_E_FLUSH_VIEW, "msync", ObjectName(kSectionName));
  }
  return {};
}

void CloseSection(Section* section) {
  // Remove the name only while it still names our object: a newer server may have
  // replaced it.
  int fd = SharedMemory().open(section->name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd >= 0) {
    struct stat ours {
    }, named{};
    if (fstat(section->fd, &ours) == 0 && fstat(fd, &named) == 0 && ours.st_dev == named.st_dev &&
        ours.st_ino == named.st_ino) {
      SharedMemory().unlink(section->name.c_str());
      NoteRegionRemoved(section->name);
    }
    close(fd);
  }
  close(section->fd);
  close(section->serverLock);  // last: until the name is gone no other server may start
  delete section;
}

}  // namespace tq5::platform
