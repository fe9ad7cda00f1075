// `orvcache stats`: the machine's counters as every process of the cache adds to them,
// and `--reset`, which zeroes them under the global cache mutex.
#include "cache_access.h"
#include "commands.h"
#include "output.h"
#include "region/statistics.h"
#include "statistics_report.h"

namespace orvcache {

int RunStats(const Args& args, bool json) {
  const bool reset = args.Has("--reset");
  ClientSession session;
  tq5::region::StatisticsBlock block{};
  // With --reset the counts shown are those up to the reset, read in the same hold.
  const bool found =
      reset ? tq5::region::ResetCounters(&block) : tq5::region::ReadStatistics(&block);
  if (!found) {
    throw ToolError(
        "no statistics: no server is running that keeps them (a server of an older build, "
        "or one that could not create its statistics object)");
  }
  if (json) {
    Json out = StatisticsJson(block);
    out["reset"] = reset;
    PrintJson(out);
    return kExitOk;
  }
  PrintStatistics(block);
  if (reset) std::printf("\nthe counters are reset to zero\n");
  return kExitOk;
}

}  // namespace orvcache
