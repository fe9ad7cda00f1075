// `orvcache stats`: the machine's counters as every process of the cache adds to them,
// and `--reset`, which zeroes them under the global cache mutex. `--format openmetrics`
// or `prometheus` prints them for a monitoring system, and `--output FILE` puts that text
// in a file whole (the node exporter's textfile collector reads such a file).
#include <cstdio>
#include <string>

#include "cache_access.h"
#include "commands.h"
#include "metrics_report.h"
#include "output.h"
#include "statistics_report.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

// Replaces `path` with `text` in one step: a reader sees the old file or the new one,
// never a part (written as the cache file is: a file created new beside it, synced and
// renamed over it).
void WriteWhole(const std::string& path, const std::string& text) {
  std::string why;
  if (!tq5::admin::WriteFileWhole(path, text, &why)) {
    throw ToolError("writing the metrics to " + path + ": " + why);
  }
}

}  // namespace

int RunStats(const Args& args, bool json) {
  const bool reset = args.Has("--reset");
  const std::string format = args.Has("--format") ? args.Value("--format") : "";
  if (!format.empty() && format != "openmetrics" && format != "prometheus") {
    throw UsageError("--format takes openmetrics or prometheus, not '" + format + "'");
  }
  if (args.Has("--output") && format.empty()) {
    throw UsageError("--output writes the metrics: give --format openmetrics or prometheus");
  }
  ClientSession session;
  tq5::admin::Statistics block;
  // With --reset the counts shown are those up to the reset, read in the same hold.
  const bool found =
      reset ? tq5::admin::ResetStatistics(&block) : tq5::admin::ReadStatistics(&block);
  if (!found) {
    throw ToolError(
        "no statistics: no server is running that keeps them (a server of an older build, "
        "or one that could not create its statistics object)");
  }
  if (!format.empty()) {
    const CacheHeader header = ReadHeader(Side::Client);
    const std::string text = MetricsText(
        block, &header,
        format == "openmetrics" ? MetricsFormat::OpenMetrics : MetricsFormat::Prometheus);
    if (args.Has("--output")) {
      WriteWhole(args.Value("--output"), text);
    } else {
      std::fputs(text.c_str(), stdout);
    }
    return kExitOk;
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
