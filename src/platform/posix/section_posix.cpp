// The shared section on POSIX: a named shm object. Unlike a Windows section, the name
// outlives its handles, so the creator removes it when it closes (the server's
// shut-down), and a creator that finds a leftover of a crashed server replaces it.
//
// Clients keep their view. Opening, mapping and faulting in a 1.3 MB region for every
// call costs far more than the lookup itself, so a client's open/map/unmap/close of the
// section keeps the mapping for the next call. Each open checks, under the global cache
// mutex, that the kept view is still the region a fresh open would find: the same object
// under the name (device, inode, size) and the same region generation, which every
// server changes when it creates or removes the region. A view that is no longer current
// is unmapped once no call of this process is inside it.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/global_mutex_posix.h"

namespace tq5::platform {

namespace {
struct KeptView;
}  // namespace

struct Section {
  int fd;
  bool creator;
  std::string name;
  GlobalMutex* guard;  // the creator's, to announce the region's end
  KeptView* kept;      // set for the handle of a kept view
};

namespace {

// One process-wide mapping of a region, shared by the calls that attach it.
struct KeptView {
  std::string name;
  std::string path;  // where the name lives in the file system, for the identity check
  const std::atomic<uint32_t>* generationSource;
  uint32_t generation;
  int fd;
  dev_t device;
  ino_t inode;
  std::size_t size;
  void* view = nullptr;
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
  if (kept->view) munmap(kept->view, kept->size);
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

// Whether `kept` is the region that opening the name now would give.
bool StillCurrent(const KeptView& kept) {
  if (!kept.current || kept.generation != kept.generationSource->load()) return false;
  struct stat named {};
  return stat(kept.path.c_str(), &named) == 0 && named.st_dev == kept.device &&
         named.st_ino == kept.inode && static_cast<std::size_t>(named.st_size) == kept.size;
}

ResultCode OpenKept(GlobalMutex* guard, Section** out) {
  const std::atomic<uint32_t>* generation = &RegionGeneration(guard);
  std::lock_guard<std::mutex> lock(keptLock);
  // The way back into a kept view builds no name and allocates nothing.
  for (KeptView& kept : keptViews) {
    if (!kept.current || kept.generationSource != generation ||
        !IsObjectName(kept.name, kSectionName)) {
      continue;
    }
    if (StillCurrent(kept)) {
      *out = &kept.handle;
      return CACHE_OK;
    }
    break;
  }
  std::string name = ObjectName(kSectionName);
  Outdate(name);

  int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return CACHE_E_OPEN_MAPPING;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    close(fd);
    return CACHE_E_OPEN_MAPPING;
  }
  KeptView& kept = keptViews.emplace_back();
  kept.name = std::move(name);
  // Linux keeps shm objects under /dev/shm by the same name.
  kept.path = "/dev/shm" + kept.name;
  kept.generationSource = generation;
  kept.generation = generation->load();
  kept.fd = fd;
  kept.device = st.st_dev;
  kept.inode = st.st_ino;
  kept.size = static_cast<std::size_t>(st.st_size);
  kept.handle = Section{fd, false, kept.name, nullptr, &kept};
  *out = &kept.handle;
  return CACHE_OK;
}

void AnnounceNewRegion(GlobalMutex* guard) {
  if (guard) RegionGeneration(guard).fetch_add(1);
}

}  // namespace

ResultCode CreateSection(uint32_t size, Section** out, GlobalMutex* guard) {
  const std::string name = ObjectName(kSectionName);
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) {
    // The server creates the region while it holds the global cache mutex, so no
    // client is inside a call: an object under the name is a crashed server's leftover.
    shm_unlink(name.c_str());
    fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }
  if (fd < 0) return CACHE_E_CREATE_MAPPING;
  // A new object is empty; ftruncate fills it with zeros. fchmod because of the umask.
  if (fchmod(fd, 0666) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    shm_unlink(name.c_str());
    return CACHE_E_CREATE_MAPPING;
  }
  {
    std::lock_guard<std::mutex> lock(keptLock);
    Outdate(name);
  }
  AnnounceNewRegion(guard);
  *out = new Section{fd, true, name, guard, nullptr};
  return CACHE_OK;
}

ResultCode OpenSection(Section** out, GlobalMutex* guard) {
  // Without the global cache mutex there is no generation to check a kept view against
  // and no exclusion between threads: every call opens the region afresh.
  if (guard) return OpenKept(guard, out);
  std::string name = ObjectName(kSectionName);
  int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return CACHE_E_OPEN_MAPPING;
  *out = new Section{fd, false, std::move(name), nullptr, nullptr};
  return CACHE_OK;
}

bool MapSection(Section* section, void** view, std::size_t* size) {
  std::unique_lock<std::mutex> lock(keptLock, std::defer_lock);
  KeptView* kept = section->kept;
  if (kept) {
    lock.lock();
    if (kept->view) {
      ++kept->callsInside;
      *view = kept->view;
      *size = kept->size;
      return true;
    }
  }
  struct stat st {};
  if (fstat(section->fd, &st) != 0 || st.st_size <= 0) return false;
  void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED,
                 section->fd, 0);
  if (p == MAP_FAILED) return false;
  *view = p;
  *size = static_cast<size_t>(st.st_size);
  if (kept) {
    kept->view = p;
    kept->size = *size;
    ++kept->callsInside;
  }
  return true;
}

bool UnmapSection(Section* section, void* view, std::size_t size) {
  if (KeptView* kept = section->kept) {
    std::lock_guard<std::mutex> lock(keptLock);
    --kept->callsInside;
    return true;
  }
  return munmap(view, size) == 0;
}

bool FlushView(void* view, std::size_t size) { return msync(view, size, MS_SYNC) == 0; }

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
        AnnounceNewRegion(section->guard);
      }
      close(fd);
    }
  }
  close(section->fd);
  delete section;
}

}  // namespace tq5::platform
