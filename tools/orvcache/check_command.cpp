// `orvcache check [--repair] [--file PATH]`: every violation of the region's invariants,
// in the live region (under the global cache mutex) or in a cache file. With --repair,
// the live region's derived figures are mended in the same hold of the mutex.
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "cache_access.h"
#include "cache_file_check.h"
#include "commands.h"
#include "output.h"
#include "region/call_patterns.h"
#include "region/region_check.h"
#include "region/user_index.h"

namespace orvcache {
namespace {

using tq5::region::CheckRegion;
using tq5::region::MappedRegion;
using tq5::region::RegionFindings;

// The live region, checked (and mended) while this command holds the mutex.
RegionFindings CheckLiveRegion(bool repair) {
  ClientSession session;
  tq5::region::ClientCall call;
  Check(call.status(), "attaching the region");
  RegionFindings findings = CheckRegion(call.region(), repair);
  // The index beside it, against the table as it is now (mended, with --repair).
  if (!findings.unbound) tq5::region::CheckUserIndex(call.region(), repair, &findings);
  if (repair && !findings.sound() && !findings.unbound) {
    Check(tq5::region::FlushRegion(), "flushing the repaired region");
  }
  return findings;
}

RegionFindings CheckFile(const std::string& path) {
  const CacheFileCheck file = CheckCacheFile(path);
  if (!file.usable) {
    RegionFindings findings;
    findings.unbound = true;
    findings.lines.push_back(path + ": " + file.reason);
    return findings;
  }
  std::vector<uint8_t> bytes = ReadCacheImage(path, file);
  return CheckRegion(MappedRegion{bytes.data(), bytes.size()}, /*repair=*/false);
}

}  // namespace

int RunCheck(const Args& args, bool json) {
  const bool repair = args.Has("--repair");
  const bool ofFile = args.Has("--file");
  if (repair && ofFile) throw UsageError("--repair works on the live region, not on a file");
  const RegionFindings findings =
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
