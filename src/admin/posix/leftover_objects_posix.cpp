// A crashed server's objects under /dev/shm. The region's object and the two beside it
// go when no live server holds the region (the liveness lock on the mutex object says);
// the mutex's object outlives every server by design and goes only when asked, and only
// when no other process maps it, since a process still holding it would no longer
// exclude a new one.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "admin/leftover_objects.h"
#include "platform/object_access.h"
#include "platform/platform.h"
#include "platform/posix/global_mutex_posix.h"
#include "platform/posix/kept_views_posix.h"
#include "platform/posix/shared_object_posix.h"
#include "region/locks.h"

namespace tq5::admin {

namespace {

using platform::Leftover;

// "held by a live server (pid N)" when one holds the region; empty when none does.
std::string LiveServerHolding() {
  if (!platform::LiveServerHoldsRegion()) return std::string();
  const unsigned long pid = platform::RegionServerProcessId();
  return "held by a live server" + (pid != 0 ? " (pid " + std::to_string(pid) + ")" : std::string());
}

// Removes the section's name when no live server holds it. The caller holds the global
// cache mutex when there is one: servers create the region under it, so no start-up can
// slip in between the check and the removal, and clients let go of views of the old
// region.
Leftover RemoveSection(std::string* detail) {
  const std::string name = platform::ObjectName(platform::kSectionName);
  if (*detail = LiveServerHolding(); !detail->empty()) return Leftover::InUse;
  const Leftover removed = platform::UnlinkLeftover(name, detail);
  if (removed == Leftover::Removed) platform::NoteRegionRemoved(name);
  return removed;
}

// The region's leftover, removed under the global cache mutex when there is one.
Leftover RemoveRegion(std::string* detail) {
  if (InitializeTQ5ORVCache() != CACHE_OK) {
    // No mutex object: nothing to hold, and no server could be holding the region.
    return RemoveSection(detail);
  }
  Leftover result;
  {
    const region::CacheLock lock;
    result = RemoveSection(detail);
  }
  UninitializeTQ5ORVCache();
  return result;
}

Leftover RemoveSideObject(platform::SideObjectKind kind, std::string* detail) {
  if (*detail = LiveServerHolding(); !detail->empty()) return Leftover::InUse;
  return platform::UnlinkLeftover(platform::ObjectName(platform::SideObjectBaseName(kind)),
                                  detail);
}

// Which other processes have the object `path` mapped, by their memory maps; *unreadable
// counts the processes whose maps this account may not read.
std::vector<pid_t> ProcessesMapping(const std::string& path, int* unreadable) {
  std::vector<pid_t> found;
  *unreadable = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self) continue;
    std::ifstream maps("/proc/" + std::string(entry->d_name) + "/maps");
    std::string line;
    if (!maps || !std::getline(maps, line)) {
      // Kernel threads have empty maps; another account's process cannot be read.
      std::ifstream probe("/proc/" + std::string(entry->d_name) + "/cmdline");
      std::string any;
      if (!maps && probe && std::getline(probe, any)) ++*unreadable;
      continue;
    }
    do {
      // The path is the last field; a removed object shows " (deleted)" after it.
      const std::size_t at = line.find(path);
      if (at != std::string::npos && line[at - 1] == ' ' &&
          (at + path.size() == line.size() || line[at + path.size()] == ' ')) {
        found.push_back(static_cast<pid_t>(pid));
        break;
      }
    } while (std::getline(maps, line));
  }
  closedir(proc);
  return found;
}

// Removes the global cache mutex's object unless another process of this machine is
// seen to have it mapped. A process whose mappings cannot be read (another account's)
// is not seen: *detail counts them.
Leftover RemoveMutexObject(std::string* detail) {
  const std::string name = platform::ObjectName(platform::kCacheMutexName);
  // glibc keeps POSIX shared memory objects as files of this folder.
  const std::string path = "/dev/shm" + name;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) return Leftover::None;
  int unreadable = 0;
  const std::vector<pid_t> users = ProcessesMapping(path, &unreadable);
  if (!users.empty()) {
    *detail = "mapped by pid";
    for (pid_t pid : users) *detail += " " + std::to_string(pid);
    return Leftover::InUse;
  }
  const Leftover removed = platform::UnlinkLeftover(name, detail);
  if (removed != Leftover::Removed) return removed;
  if (unreadable > 0) {
    *detail =
        std::to_string(unreadable) + " processes of other accounts could not be checked for it";
  }
  return Leftover::Removed;
}

// What became of one object: `what` names it; true when it was removed.
bool Report(Leftover result, const std::string& what, const std::string& detail,
            LeftoverReport* report) {
  switch (result) {
    case Leftover::Removed:
      report->removed.push_back(what);
      return true;
    case Leftover::InUse:
      report->kept.push_back({what, detail});
      break;
    case Leftover::Failed:
      report->kept.push_back({what, "cannot remove it: " + detail});
      break;
    case Leftover::None:
      break;
  }
  return false;
}

}  // namespace

void RemoveLeftoverObjects(bool withMutex, LeftoverReport* report) {
  std::string detail;
  Report(RemoveRegion(&detail), "region object " + ObjectName(CacheObject::Region), detail,
         report);
  struct SideObject {
    const char* label;
    CacheObject object;
    platform::SideObjectKind kind;
  };
  for (const SideObject side : {SideObject{"statistics", CacheObject::Statistics,
                                           platform::SideObjectKind::Statistics},
                                SideObject{"index", CacheObject::Index,
                                           platform::SideObjectKind::Index}}) {
    detail.clear();
    Report(RemoveSideObject(side.kind, &detail),
           std::string(side.label) + " object " + ObjectName(side.object), detail, report);
  }
  const std::string mutexName = ObjectName(CacheObject::Mutex);
  if (!withMutex) {
    if (DescribeObject(CacheObject::Mutex).exists) {
      report->notes.push_back("the mutex object " + mutexName +
                              " stays (it outlives every server by design); --mutex removes it");
    }
    return;
  }
  detail.clear();
  if (Report(RemoveMutexObject(&detail), "mutex object " + mutexName, detail, report)) {
    report->notes.push_back(
        "warning: a program of the cache that still runs keeps the removed mutex and "
        "no longer excludes the others; restart every such program" +
        (detail.empty() ? std::string() : " (" + detail + ")"));
  }
}

}  // namespace tq5::admin
