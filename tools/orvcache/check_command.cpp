// `orvcache check [--repair] [--file PATH]`: every violation of the region's invariants,
// in the live region (under the global cache mutex) or in a cache file. With --repair,
// the live region's derived figures are mended in the same hold of the mutex.
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "cache_access.h"
#include "commands.h"
#include "output.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

using tq5::admin::Findings;

// The live region, checked (and mended) while the admin interface holds the mutex.
Findings CheckLiveRegion(bool repair) {
  ClientSession session;
  Findings findings;
  Check(tq5::admin::CheckLiveRegion(repair, &findings),
        repair ? "checking and repairing the region" : "checking the region");
  return findings;
}

Findings CheckFile(const std::string& path) {
  const CacheFileCheck file = CheckCacheFile(path);
  Findings findings;
  if (!file.usable) {
    // A file the start-up would not use is one violation, not a sound file.
    findings.unbound = true;
    findings.count = 1;
    findings.lines.push_back(path + ": " + file.reason);
    return findings;
  }
  tq5::admin::CacheFileTables tables;
  std::string why;
  if (!tq5::admin::ReadCacheFileTables(path, file, &tables, &why)) throw ToolError(why);
  return tables.findings;
}

}  // namespace

int RunCheck(const Args& args, bool json) {
  const bool repair = args.Has("--repair");
  const bool ofFile = args.Has("--file");
  if (repair && ofFile) throw UsageError("--repair works on the live region, not on a file");
  const Findings findings =
      ofFile ? CheckFile(args.Value("--file")) : CheckLiveRegion(repair);
  const bool mended = repair && !findings.unbound;
  const std::string what = ofFile ? args.Value("--file") : std::string("the region");

  if (json) {
    PrintJson({{"source", ofFile ? "file" : "region"},
               {"sound", findings.sound()},
               {"repaired", mended && !findings.sound()},
               {"violations", findings.lines}});
  } else if (findings.sound()) {
    std::printf("%s is sound\n", what.c_str());
  } else {
    std::printf("%s: %s\n", what.c_str(),
                Count(static_cast<int64_t>(findings.lines.size()),
                      mended ? "violation, repaired" : "violation")
                    .c_str());
    for (const std::string& line : findings.lines) std::printf("  %s\n", line.c_str());
  }
  // A repaired region is sound now; one whose capacities do not fit cannot be mended.
  return findings.sound() || mended ? kExitOk : kExitFailure;
}

}  // namespace orvcache
