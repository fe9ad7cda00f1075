// `orvcache cleanup`: removes what a crashed server left behind. On POSIX the region's
// shm object (and the statistics object beside it) outlives its server (the next server replaces
// it, but until then clients find a dead region); the mutex object outlives every server by design
// and goes only when asked, since a process still holding it would no longer exclude a new one.
// Temporary files of writers that died go on every platform.
#include <cstdio>
#include <filesystem>
#include <set>

#include "cache_file_check.h"
#include "commands.h"
#include "host.h"
#include "output.h"
#include "platform/object_access.h"
#include "platform/platform.h"
#include "region/locks.h"
#include "region/temporary_files.h"

namespace orvcache {
namespace {

using tq5::platform::Leftover;

std::set<std::string> TemporaryFiles(const std::string& folder) {
  std::set<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator entry(folder, error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (tq5::region::IsTemporaryFileName(name)) names.insert(name);
  }
  return names;
}

// The region's leftover, removed under the global cache mutex when there is one: servers
// create the region holding it, so none can start between the check and the removal.
Leftover RemoveRegion(std::string* detail) {
  if (InitializeTQ5ORVCache() != CACHE_OK) {
    // No mutex object: nothing to hold, and no server could be holding the region.
    return tq5::platform::RemoveLeftoverSection(detail);
  }
  Leftover result;
  {
    const tq5::region::CacheLock lock;
    result = tq5::platform::RemoveLeftoverSection(detail);
  }
  UninitializeTQ5ORVCache();
  return result;
}

}  // namespace

int RunCleanup(const Args& args, bool json) {
  const bool mutex = args.Has("--mutex");
  unsigned long pid = 0;
  if (host::ServerRunning(&pid)) {
    throw ToolError("a cache server is running" +
                    (pid != 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                    "; cleanup removes only what a crashed server left");
  }
  Json out = {{"removed", Json::array()}, {"kept", Json::array()}};
  std::vector<std::string> notes;
  auto removed = [&](const std::string& what) { out["removed"].push_back(what); };
  auto kept = [&](const std::string& what, const std::string& why) {
    out["kept"].push_back({{"object", what}, {"reason", why}});
  };

  if (!host::ObjectsOutliveProcesses()) {
    notes.push_back(
        "the region and the mutex end with their last handle here: a crashed server leaves "
        "no kernel objects");
  } else {
    // What became of one object: `what` names it; true when it was removed.
    auto report = [&](Leftover result, const std::string& what, const std::string& detail) {
      switch (result) {
        case Leftover::Removed:
          removed(what);
          return true;
        case Leftover::InUse:
          kept(what, detail);
          break;
        case Leftover::Failed:
          kept(what, "cannot remove it: " + detail);
          break;
        case Leftover::None:
          break;
      }
      return false;
    };
    std::string detail;
    Leftover result = RemoveRegion(&detail);
    report(result, "region object " + tq5::platform::ObjectName(tq5::platform::kSectionName),
           detail);
    detail.clear();
    using tq5::platform::SideObjectKind;
    for (const SideObjectKind kind : {SideObjectKind::Statistics, SideObjectKind::Index}) {
      detail.clear();
      result = tq5::platform::RemoveLeftoverSideObject(kind, &detail);
      report(result,
             std::string(kind == SideObjectKind::Statistics ? "statistics" : "index") + " object " +
                 tq5::platform::ObjectName(tq5::platform::SideObjectBaseName(kind)),
             detail);
    }
    const std::string mutexName = tq5::platform::ObjectName(tq5::platform::kCacheMutexName);
    if (!mutex) {
      if (tq5::platform::DescribeObject(tq5::platform::kCacheMutexName).exists) {
        notes.push_back("the mutex object " + mutexName +
                        " stays (it outlives every server by design); --mutex removes it");
      }
    } else {
      detail.clear();
      result = tq5::platform::RemoveMutexObject(&detail);
      if (report(result, "mutex object " + mutexName, detail)) {
        notes.push_back(
            "warning: a program of the cache that still runs keeps the removed mutex and "
            "no longer excludes the others; restart every such program" +
            (detail.empty() ? std::string() : " (" + detail + ")"));
      }
    }
  }

  std::string why;
  const std::string file = CacheFilePath(&why);
  if (!file.empty()) {
    const std::string folder = std::filesystem::path(file).parent_path().string();
    const std::set<std::string> before = TemporaryFiles(folder);
    tq5::region::RemoveTemporaryFilesOfDeadWriters(folder + host::PathSeparator());
    const std::set<std::string> after = TemporaryFiles(folder);
    for (const std::string& name : before) {
      const std::string path = folder + host::PathSeparator() + name;
      if (after.count(name) == 0) {
        removed("temporary file " + path);
      } else {
        notes.push_back("the temporary file " + path +
                        " stays: its writer runs, or it is not a writer's file");
      }
    }
  } else {
    notes.push_back("no temporary files looked for: " + why);
  }

  if (json) {
    out["notes"] = notes;
    PrintJson(out);
    return out["kept"].empty() ? kExitOk : kExitFailure;
  }
  for (const auto& what : out["removed"]) {
    std::printf("removed %s\n", what.get<std::string>().c_str());
  }
  for (const auto& what : out["kept"]) {
    std::printf("kept %s: %s\n", what["object"].get<std::string>().c_str(),
                what["reason"].get<std::string>().c_str());
  }
  if (out["removed"].empty() && out["kept"].empty()) std::printf("nothing left to remove\n");
  for (const std::string& note : notes) std::printf("%s\n", note.c_str());
  return out["kept"].empty() ? kExitOk : kExitFailure;
}

}  // namespace orvcache
