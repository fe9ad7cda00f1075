// The shared section on POSIX: a named shm object. Unlike a Windows section, the name
// outlives its handles, so the creator removes it when it closes (the server's
// shut-down), and a creator that finds a leftover of a crashed server replaces it.
// Clients do not open the section: they acquire a view of the region
// (kept_views_posix.cpp), which this file tells when a server creates or removes it.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/posix/global_mutex_posix.h"
#include "platform/posix/kept_views_posix.h"
#include "platform/posix/object_access_posix.h"

namespace tq5::platform {

// The server's section, which it created.
struct Section {
  int fd;
  std::string name;
};

namespace {

// A live server holds a write lock on byte 0 of its region's object for as long as it
// runs; the kernel drops it when the process ends, however it ends. So an object
// without the lock is a crashed server's leftover. The lock is an open file
// description lock: it stays while the server's descriptor stays open, whatever other
// descriptors of the object the process opens and closes. Only a classic record lock
// names its holder, and it goes when the process closes any descriptor of the object,
// so one on byte 1 says which process the server is, as long as it lasts.
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

bool TakeLivenessLock(int fd) {
  struct flock live = ByteLock(kLivenessByte);
  struct flock id = ByteLock(kServerIdByte);
  if (fcntl(fd, F_OFD_SETLK, &live) != 0) return false;
  fcntl(fd, F_SETLK, &id);  // only for naming the server; it may be lost
  return true;
}

// Whether a live process holds the liveness lock on the object behind `fd`, and which
// one (0 when it cannot be told).
bool LivenessHolder(int fd, pid_t* pid) {
  struct flock live = ByteLock(kLivenessByte);
  if (fcntl(fd, F_OFD_GETLK, &live) != 0 || live.l_type == F_UNLCK) return false;
  struct flock id = ByteLock(kServerIdByte);
  *pid = fcntl(fd, F_GETLK, &id) == 0 && id.l_type != F_UNLCK && id.l_pid > 0 ? id.l_pid : 0;
  return true;
}

// Whether a live server holds the region under `name`, and its process id when known.
bool RegionHolder(const std::string& name, pid_t* pid) {
  int fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool live = LivenessHolder(fd, pid);
  close(fd);
  return live;
}

}  // namespace

Status CreateSection(uint32_t size, Section** out, const ObjectAccess& access) {
  const std::string name = ObjectName(kSectionName);
  const mode_t mode = ObjectMode(access);
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0 && errno == EEXIST) {
    // Servers create the region while they hold the global cache mutex, so no other
    // start-up is half-way through: an object under the name is either a live server's,
    // which must not be touched, or a crashed server's leftover, which is replaced.
    pid_t holder = 0;
    if (RegionHolder(name, &holder)) {
      return Status::Refused(
          CACHE_E_REGION_EXISTS, "shm_open", name,
          "held by a live server" +
              (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()));
    }
    shm_unlink(name.c_str());
    fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  }
  if (fd < 0) return Status::Failed(CACHE_E_CREATE_MAPPING, "shm_open", name);
  // A new object is empty; ftruncate fills it with zeros. The explicit mode because of
  // the umask.
  Status status;
  if (!ApplyAccess(fd, access, mode)) {
    status = Status::Failed(CACHE_E_CREATE_MAPPING, "fchmod", name);
  } else if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    status = Status::Failed(CACHE_E_CREATE_MAPPING, "ftruncate", name);
  } else if (!TakeLivenessLock(fd)) {
    status = Status::Failed(CACHE_E_CREATE_MAPPING, "fcntl(F_OFD_SETLK)", name);
  }
  if (!status.ok()) {
    close(fd);
    shm_unlink(name.c_str());
    return status;
  }
  NoteRegionCreated(name, fd);
  *out = new Section{fd, name};
  return {};
}

Leftover RemoveLeftoverSection(std::string* detail) {
  const std::string name = ObjectName(kSectionName);
  pid_t holder = 0;
  if (RegionHolder(name, &holder)) {
    *detail = "held by a live server" +
              (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string());
    return Leftover::InUse;
  }
  if (shm_unlink(name.c_str()) != 0) {
    if (errno == ENOENT) return Leftover::None;
    *detail = std::strerror(errno);
    return Leftover::Failed;
  }
  NoteRegionRemoved(name);
  return Leftover::Removed;
}

bool LiveServerHoldsRegion() {
  pid_t holder = 0;
  return RegionHolder(ObjectName(kSectionName), &holder);
}

unsigned long RegionServerProcessId() {
  pid_t holder = 0;
  return RegionHolder(ObjectName(kSectionName), &holder) ? static_cast<unsigned long>(holder) : 0;
}

Status MapSection(Section* section, void** view, std::size_t* size) {
  struct stat st {};
  if (fstat(section->fd, &st) != 0) return Status::Failed(CACHE_E_MAP_VIEW, "fstat", section->name);
  if (st.st_size <= 0) {
    return Status::Refused(CACHE_E_MAP_VIEW, "mmap", section->name, "the object is empty");
  }
  void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED,
                 section->fd, 0);
  if (p == MAP_FAILED) return Status::Failed(CACHE_E_MAP_VIEW, "mmap", section->name);
  *view = p;
  *size = static_cast<size_t>(st.st_size);
  return {};
}

Status UnmapSection(Section* section, void* view, std::size_t size) {
  if (munmap(view, size) != 0) return Status::Failed(CACHE_E_UNMAP_VIEW, "munmap", section->name);
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
  int fd = shm_open(section->name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd >= 0) {
    struct stat ours {
    }, named{};
    if (fstat(section->fd, &ours) == 0 && fstat(fd, &named) == 0 && ours.st_dev == named.st_dev &&
        ours.st_ino == named.st_ino) {
      shm_unlink(section->name.c_str());
      NoteRegionRemoved(section->name);
    }
    close(fd);
  }
  close(section->fd);
  delete section;
}

}  // namespace tq5::platform
