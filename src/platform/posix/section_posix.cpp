// The shared section on POSIX: a named shm object. Unlike a Windows section, the name
// outlives its handles, so the creator removes it when it closes (the server's
// shut-down), and a creator that finds a leftover of a crashed server replaces it.
//
// Clients keep their view. Opening, mapping and faulting in a 1.3 MB region for every
// call costs far more than the lookup itself, so a client's open/map/unmap/close of the
// section keeps the mapping for the next call. Every server records the region it creates
// or removes beside the global cache mutex (a generation and the object's device, inode
// and size); under the mutex, a kept view is used again only while it is the object so
// recorded. That check asks no system call, which on a virtual machine would cost as
// much as the lookup. A view that is no longer current is unmapped once no call of this
// process is inside it. (A region made by a server without the mutex is not recorded, so
// clients open it afresh at every call.)
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/global_mutex_posix.h"
#include "platform/posix/object_access_posix.h"

namespace tq5::platform {

namespace {
struct KeptView;
}  // namespace

struct Section {
  int fd;
  bool creator;
  std::string name;
  // Where the creator announces the region's end. It lives in the mutex's object, which
  // stays mapped for the life of the process, so it outlives the mutex handle.
  RegionRecord* record;
  KeptView* kept;  // set for the handle of a kept view
};

namespace {

// One process-wide mapping of a region, shared by the calls that attach it.
struct KeptView {
  std::string name;
  const RegionRecord* record;  // where the servers record the current region
  RegionRecord identity;       // this view's object, as the record names it
  int fd;
  void* view = nullptr;
  std::size_t mappedSize = 0;
  int callsInside = 0;
  bool current = true;
  Section handle;  // what OpenSection hands out for it
};

}  // namespace

namespace {

// Guards the list; calls on a region also hold the global cache mutex, this only keeps
// the bookkeeping sound when several mutexes (object prefixes) are in use.
std::mutex keptLock;
// Never destroyed: a call may still run while the process exits.
std::list<KeptView>& keptViews = *new std::list<KeptView>;

void Release(std::list<KeptView>::iterator kept) {
  if (kept->view) munmap(kept->view, kept->mappedSize);
  close(kept->fd);
  keptViews.erase(kept);
}

std::list<KeptView>::iterator Find(const KeptView* view) {
  for (auto it = keptViews.begin(); it != keptViews.end(); ++it) {
    if (&*it == view) return it;
  }
  return keptViews.end();
}

// Marks every kept view of `name` as outdated and lets go of those no call is inside.
void Outdate(const std::string& name) {
  for (auto it = keptViews.begin(); it != keptViews.end();) {
    auto next = std::next(it);
    if (it->name == name) {
      it->current = false;
      if (it->callsInside == 0) Release(it);
    }
    it = next;
  }
}

// Whether `kept` is the region that opening the name now would give: the object that the
// last server to create or remove a region recorded, in the same generation.
bool StillCurrent(const KeptView& kept) {
  const RegionRecord& now = *kept.record;
  return kept.current && now.generation == kept.identity.generation &&
         now.device == kept.identity.device && now.inode == kept.identity.inode &&
         now.size == kept.identity.size;
}

RegionRecord IdentityOf(int fd, uint64_t generation) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return {generation, 0, 0, 0};
  return {generation, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
          static_cast<uint64_t>(st.st_size)};
}

Status OpenKept(GlobalMutex* guard, Section** out) {
  const RegionRecord* record = &CurrentRegion(guard);
  std::lock_guard<std::mutex> lock(keptLock);
  // The way back into a kept view builds no name, allocates nothing and makes no call.
  for (KeptView& kept : keptViews) {
    if (!kept.current || kept.record != record || !IsObjectName(kept.name, kSectionName)) {
      continue;
    }
    if (StillCurrent(kept)) {
      *out = &kept.handle;
      return {};
    }
    break;
  }
  std::string name = ObjectName(kSectionName);
  Outdate(name);

  int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return Status::Failed(CACHE_E_OPEN_MAPPING, "shm_open", name);
  // A region that no server recorded (one made without the mutex) is never kept: every
  // call opens it afresh.
  KeptView& kept = keptViews.emplace_back();
  kept.name = std::move(name);
  kept.record = record;
  kept.identity = IdentityOf(fd, record->generation);
  kept.fd = fd;
  kept.handle = Section{fd, false, kept.name, nullptr, &kept};
  *out = &kept.handle;
  return {};
}

// Records the region a server has just created (or, with fd -1, removed).
void RecordRegion(RegionRecord* record, int fd) {
  if (!record) return;
  *record = fd < 0 ? RegionRecord{record->generation + 1, 0, 0, 0}
                   : IdentityOf(fd, record->generation + 1);
}

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

Status CreateSection(uint32_t size, Section** out, GlobalMutex* guard, const ObjectAccess& access) {
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
  {
    std::lock_guard<std::mutex> lock(keptLock);
    Outdate(name);
  }
  RegionRecord* record = guard ? &CurrentRegion(guard) : nullptr;
  RecordRegion(record, fd);
  *out = new Section{fd, true, name, record, nullptr};
  return {};
}

Leftover RemoveLeftoverSection(GlobalMutex* guard, std::string* detail) {
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
  {
    std::lock_guard<std::mutex> lock(keptLock);
    Outdate(name);
  }
  if (guard) RecordRegion(&CurrentRegion(guard), -1);
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

Status OpenSection(Section** out, GlobalMutex* guard) {
  // Without the global cache mutex there is no generation to check a kept view against
  // and no exclusion between threads: every call opens the region afresh.
  if (guard) return OpenKept(guard, out);
  std::string name = ObjectName(kSectionName);
  int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return Status::Failed(CACHE_E_OPEN_MAPPING, "shm_open", name);
  *out = new Section{fd, false, std::move(name), nullptr, nullptr};
  return {};
}

Status MapSection(Section* section, void** view, std::size_t* size) {
  std::unique_lock<std::mutex> lock(keptLock, std::defer_lock);
  KeptView* kept = section->kept;
  if (kept) {
    lock.lock();
    if (kept->view) {
      ++kept->callsInside;
      *view = kept->view;
      *size = kept->mappedSize;
      return {};
    }
  }
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
  if (kept) {
    kept->view = p;
    kept->mappedSize = *size;
    ++kept->callsInside;
  }
  return {};
}

Status UnmapSection(Section* section, void* view, std::size_t size) {
  if (KeptView* kept = section->kept) {
    std::lock_guard<std::mutex> lock(keptLock);
    --kept->callsInside;
    return {};
  }
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
  if (KeptView* kept = section->kept) {
    // The handle belongs to the kept view; an outdated one goes once it is idle.
    std::lock_guard<std::mutex> lock(keptLock);
    if (!kept->current && kept->callsInside == 0) Release(Find(kept));
    return;
  }
  if (section->creator) {
    // Remove the name only while it still names our object: a newer server may have
    // replaced it.
    int fd = shm_open(section->name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
      struct stat ours {
      }, named{};
      if (fstat(section->fd, &ours) == 0 && fstat(fd, &named) == 0 && ours.st_dev == named.st_dev &&
          ours.st_ino == named.st_ino) {
        shm_unlink(section->name.c_str());
        RecordRegion(section->record, -1);
      }
      close(fd);
    }
  }
  close(section->fd);
  delete section;
}

}  // namespace tq5::platform
