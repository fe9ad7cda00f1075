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
#include "platform/platform.h"
#include "region/statistics.h"
#include "statistics_report.h"

namespace orvcache {
namespace {

// Replaces `path` with `text` in one step: a reader sees the old file or the new one,
// never a part. The text goes to a file created new beside it (no link followed, no file
// of another's taken over), which is synced and renamed over the old one.
void WriteWhole(const std::string& path, const std::string& text) {
  namespace platform = tq5::platform;
  const std::string temporary = path + "." + std::to_string(platform::CurrentProcessId()) + ".tmp";
  platform::FileHandle file = platform::kNoFile;
  platform::Status status =
      platform::CreateFileForWriting(temporary, platform::ObjectAccess{}, &file);
  if (status.ok()) {
    status = platform::WriteToFile(file, text.data(), text.size(), temporary);
    if (status.ok()) status = platform::SyncFile(file, temporary);
    const platform::Status closed = platform::CloseFile(file, temporary);
    if (status.ok()) status = closed;
    if (status.ok()) status = platform::MoveFileOver(temporary, path);
    if (!status.ok()) std::remove(temporary.c_str());
  }
  if (!status.ok()) {
    const tq5::platform::Failure* failure = status.failure();
    throw ToolError("writing the metrics to " + path +
                    (failure ? ": " + failure->Text() : std::string()));
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
  tq5::region::StatisticsBlock block{};
  // With --reset the counts shown are those up to the reset, read in the same hold.
  const bool found =
      reset ? tq5::region::ResetCounters(&block) : tq5::region::ReadStatistics(&block);
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
