#include "statistics_report.h"

#include <cstring>

namespace orvcache {
namespace {

using tq5::admin::Counter;
using tq5::admin::ServerSettings;
using tq5::admin::Statistics;
using tq5::admin::TaskOutcome;

struct CounterName {
  Counter counter;
  const char* json;
  const char* label;
};

const CounterName kCounterNames[] = {
    {Counter::Lookups, "lookups", "lookups"},
    {Counter::Hits, "hits", "  hits"},
    {Counter::Misses, "misses", "  misses"},
    {Counter::FetchesSucceeded, "fetchesSucceeded", "fetches succeeded"},
    {Counter::FetchesFailed, "fetchesFailed", "fetches failed"},
    {Counter::FetchesTimedOut, "fetchesTimedOut", "fetches timed out"},
    {Counter::Evictions, "evictions", "user table evictions"},
    {Counter::UsersExpired, "usersExpired", "users expired by sweeps"},
    {Counter::UsersRefreshed, "usersRefreshed", "users refreshed by sweeps"},
    {Counter::Commits, "commits", "commits"},
    {Counter::Deletes, "deletes", "deletes"},
    {Counter::FileWrites, "fileWrites", "cache-file writes"},
    {Counter::FileWriteFailures, "fileWriteFailures", "cache-file writes failed"},
    {Counter::Repairs, "repairs", "repairs after an owner died"},
    {Counter::IndexHits, "indexHits", "users found through the index"},
    {Counter::IndexMisses, "indexMisses", "users the index missed, found by a scan"},
    {Counter::NegativeAnswers, "negativeAnswers", "lookups answered from a kept failure"},
};
static_assert(sizeof kCounterNames / sizeof kCounterNames[0] == tq5::admin::kCounterCount);

Json TimeJson(int64_t at) { return at > 0 ? Json(FormatTime(at)) : Json(nullptr); }

Json TaskJson(const TaskOutcome& task) {
  if (task.endedAt <= 0) return nullptr;
  return {{"at", FormatTime(task.endedAt)},
          {"durationMs", task.durationMs},
          {"result", task.result},
          {"message", Message(task.result)}};
}

std::string TaskText(const TaskOutcome& task) {
  if (task.endedAt <= 0) return "none since the server started";
  std::string text = FormatTime(task.endedAt) + ", took " + FormatDuration(task.durationMs);
  if (task.result != CACHE_OK) text += ", " + Message(task.result);
  return text;
}

std::string Every(int64_t ms) { return ms > 0 ? "every " + FormatDuration(ms) : "never"; }

}  // namespace

Json HitRatioJson(const Statistics& block) {
  const uint64_t lookups = block[Counter::Lookups];
  if (lookups == 0) return nullptr;
  return static_cast<double>(block[Counter::Hits]) / static_cast<double>(lookups);
}

std::string HitRatioText(const Statistics& block) {
  const auto lookups = static_cast<int64_t>(block[Counter::Lookups]);
  const auto hits = static_cast<int64_t>(block[Counter::Hits]);
  if (lookups == 0) return "-";
  return Percent(hits, lookups) + " (" + std::to_string(hits) + " of " + Count(lookups, "lookup") +
         ")";
}

Json StatisticsJson(const Statistics& block) {
  Json counters = Json::object();
  for (const CounterName& c : kCounterNames) counters[c.json] = block[c.counter];
  return {{"countingSince", TimeJson(block.countingSince)},
          {"counters", counters},
          {"hitRatio", HitRatioJson(block)},
          {"lastGoodFileWrite", TimeJson(block.lastGoodFileWrite)},
          {"lastMerge", TaskJson(block.lastMerge)},
          {"lastSweep", TaskJson(block.lastSweep)}};
}

void PrintStatistics(const Statistics& block) {
  Table table({"COUNTER", "COUNT"}, {false, true});
  for (const CounterName& c : kCounterNames) {
    table.Add({c.label, std::to_string(block[c.counter])});
  }
  table.Print();
  std::printf("\nhit ratio          %s\n", HitRatioText(block).c_str());
  std::printf("counting since     %s\n", FormatTime(block.countingSince).c_str());
  std::printf("last file write    %s\n", block.lastGoodFileWrite > 0
                                             ? FormatTime(block.lastGoodFileWrite).c_str()
                                             : "none since counting began");
  std::printf("last merge         %s\n", TaskText(block.lastMerge).c_str());
  std::printf("last sweep         %s\n", TaskText(block.lastSweep).c_str());
}

Json ServerJson(const Statistics* block, bool alive) {
  if (!block || !block->server.published) return nullptr;
  const ServerSettings& s = block->server;
  const std::string file = s.cacheFile;
  return {{"pid", s.processId},
          {"alive", alive},
          {"startedAt", FormatTime(s.startedAt)},
          {"version", s.version},
          {"cacheFile", file.empty() ? Json(nullptr) : Json(file)},
          {"directory", s.directory},
          {"fetchTimeoutMs", s.fetchTimeoutMs},
          {"rolesIntervalMs", s.rolesIntervalMs},
          {"sweepIntervalMs", s.sweepIntervalMs},
          {"writeIntervalMs", s.writeIntervalMs}};
}

void PrintServer(const Statistics* block, bool alive) {
  const bool published = block && block->server.published;
  if (!alive) {
    std::printf("server           none alive: the region is orphaned.%s\n",
                published ? (" Its server (pid " + std::to_string(block->server.processId) +
                             ", started " + FormatTime(block->server.startedAt) + ")")
                                .c_str()
                          : " Its server");
    std::printf(
        "                 no longer runs: clients are still answered from the region, but\n"
        "                 nothing sweeps it, merges the role list or writes the cache file.\n"
        "                 Start the server again: it replaces the region from the cache\n"
        "                 file (what changed since that file's last write is lost).\n");
    return;
  }
  if (!published) {
    std::printf(
        "server           running, but it publishes no settings that this orvcache "
        "can read\n");
    return;
  }
  const ServerSettings& s = block->server;
  const std::string file = s.cacheFile;
  std::printf("server, as the running server reports itself:\n");
  std::printf("  pid            %lu, started %s, version %s\n", s.processId,
              FormatTime(s.startedAt).c_str(), s.version.c_str());
  std::printf("  cache file     %s\n", file.empty() ? "none (--no-cache-file)" : file.c_str());
  std::printf("  directory      %s\n", s.directory.c_str());
  std::printf("  fetch limit    %s\n", FormatDuration(s.fetchTimeoutMs).c_str());
  std::printf("  timers         roles %s, sweep %s, write %s\n", Every(s.rolesIntervalMs).c_str(),
              Every(s.sweepIntervalMs).c_str(), Every(s.writeIntervalMs).c_str());
}

}  // namespace orvcache
