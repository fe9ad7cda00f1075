// A client's view of the region on POSIX, kept from one call to the next.
//
// Why: opening, mapping and faulting in a 1.3 MB region for every call costs far more
// than the lookup itself. So a view that a call acquires stays mapped when the call
// releases it, and the next call of the process takes it again.
//
// The contract:
// - A view is acquired and released with the global cache mutex held by the thread,
//   which is what keeps the region from being replaced meanwhile.
// - Every server records the region it creates or removes beside the mutex (a
//   generation and the object's device, inode and size; NoteRegionCreated/Removed).
//   Under the mutex, a kept view is handed out again only while it is the object so
//   recorded, and that check makes no system call (on a virtual machine a call would
//   cost as much as the lookup). One fstat per acquire remains: any process that may
//   write the object may also shrink it under the view, and a view whose object no
//   longer holds all of it is never handed out again.
// - A view that is no longer current is unmapped once no call of this process is
//   inside it; one that is current stays mapped for the life of the process.
// - Without the mutex (a call made before any start-up, or after the shut-down) there
//   is nothing to check a view against: such a call opens and maps the region afresh
//   and lets go of it completely at its release. So does a call on a region that no
//   server recorded (one made without the mutex): its identity never matches.
#include "platform/posix/kept_views_posix.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <mutex>
#include <new>

#include "platform/platform.h"
#include "platform/posix/fault_guard_posix.h"
#include "platform/posix/global_mutex_posix.h"
#include "platform/posix/shared_object_posix.h"

namespace tq5::platform {

// One acquired view: a kept one (`kept` set), or one of a single call.
struct RegionView {
  std::string name;
  int fd = -1;
  void* base = nullptr;
  std::size_t size = 0;
  bool kept = false;
  // Kept views only:
  const RegionRecord* record = nullptr;  // where the servers record the current region
  RegionRecord identity{};               // this view's object, as the record names it
  int callsInside = 0;
  bool current = true;
};

namespace {

// Guards the list; calls on a region also hold the global cache mutex, this only keeps
// the bookkeeping sound when several mutexes (object prefixes) are in use.
std::mutex keptLock;
// Never destroyed: a call may still run while the process exits.
std::list<RegionView>& keptViews = *new std::list<RegionView>;

void Unmap(RegionView& view) {
  if (view.base) {
    SharedMemory().unmap(view.base, view.size);
    UnregisterMapping(view.base);
  }
  close(view.fd);
}

// Marks every kept view of `name` as outdated and lets go of those no call is inside.
void Outdate(const std::string& name) {
  for (auto it = keptViews.begin(); it != keptViews.end();) {
    auto next = std::next(it);
    if (it->name == name) {
      it->current = false;
      if (it->callsInside == 0) {
        Unmap(*it);
        keptViews.erase(it);
      }
    }
    it = next;
  }
}

// Whether `kept` is the region that opening the name now would give: the object that the
// last server to create or remove a region recorded, in the same generation.
bool StillCurrent(const RegionView& kept) {
  const RegionRecord& now = *kept.record;
  return kept.current && now.generation == kept.identity.generation &&
         now.device == kept.identity.device && now.inode == kept.identity.inode &&
         now.size == kept.identity.size;
}

// Whether the object still holds every byte of the view: any process that may write it
// can shrink it, and a page past its new end faults when touched.
bool StillWhole(const RegionView& view) {
  struct stat st {};
  return fstat(view.fd, &st) == 0 && static_cast<std::size_t>(st.st_size) >= view.size &&
         !MappingDamaged(view.base);
}

RegionRecord IdentityOf(int fd, uint64_t generation) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return {generation, 0, 0, 0};
  return {generation, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
          static_cast<uint64_t>(st.st_size)};
}

// Opens and maps the region under `name` into `view`.
Status OpenAndMap(std::string name, RegionView* view) {
  view->fd = SharedMemory().open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (view->fd < 0) return Status::Failed(CACHE_E_OPEN_MAPPING, "shm_open", name);
  view->name = std::move(name);
  const Status status =
      MapSharedObject(view->fd, view->name, CACHE_E_MAP_VIEW, 1, &view->base, &view->size);
  if (!status.ok()) {
    close(view->fd);
    view->fd = -1;
  }
  return status;
}

Status AcquireKept(const RegionRecord* record, RegionView** out) {
  std::lock_guard<std::mutex> lock(keptLock);
  // The way back into a kept view builds no name and allocates nothing; its one system
  // call asks whether the object was shrunk.
  for (RegionView& kept : keptViews) {
    if (!kept.current || kept.record != record || !IsObjectName(kept.name, kSectionName)) {
      continue;
    }
    if (StillCurrent(kept) && StillWhole(kept)) {
      ++kept.callsInside;
      *out = &kept;
      return {};
    }
    break;
  }
  std::string name = ObjectName(kSectionName);
  Outdate(name);
  RegionView fresh;
  const Status status = OpenAndMap(std::move(name), &fresh);
  if (!status.ok()) return status;
  RegionView& kept = keptViews.emplace_back(std::move(fresh));
  kept.kept = true;
  kept.record = record;
  kept.identity = IdentityOf(kept.fd, record->generation);
  kept.callsInside = 1;
  *out = &kept;
  return {};
}

// Records the region a server has just created (or, with fd -1, removed).
void Record(const std::string& name, int fd) {
  {
    std::lock_guard<std::mutex> lock(keptLock);
    Outdate(name);
  }
  if (RegionRecord* record = HeldRegionRecord()) {
    *record = fd < 0 ? RegionRecord{record->generation + 1, 0, 0, 0}
                     : IdentityOf(fd, record->generation + 1);
  }
}

}  // namespace

Status AcquireRegionView(RegionView** out, void** base, std::size_t* size) {
  *out = nullptr;
  Status status;
  if (const RegionRecord* record = HeldRegionRecord()) {
    status = AcquireKept(record, out);
  } else {
    auto* once = new (std::nothrow) RegionView;
    if (!once) return Status::Refused(CACHE_E_NO_MEMORY, "new", "RegionView", "out of memory");
    status = OpenAndMap(ObjectName(kSectionName), once);
    if (status.ok()) {
      *out = once;
    } else {
      delete once;
    }
  }
  if (status.ok()) {
    *base = (*out)->base;
    *size = (*out)->size;
  }
  return status;
}

void ReleaseRegionView(RegionView* view) {
  if (!view) return;
  if (!view->kept) {
    Unmap(*view);
    delete view;
    return;
  }
  std::lock_guard<std::mutex> lock(keptLock);
  if (--view->callsInside == 0 && !view->current) {
    for (auto it = keptViews.begin(); it != keptViews.end(); ++it) {
      if (&*it == view) {
        Unmap(*it);
        keptViews.erase(it);
        break;
      }
    }
  }
}

void NoteRegionCreated(const std::string& name, int fd) { Record(name, fd); }

void NoteRegionRemoved(const std::string& name) { Record(name, -1); }

}  // namespace tq5::platform
