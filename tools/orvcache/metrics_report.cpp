#include "metrics_report.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace orvcache {
namespace {

using tq5::admin::Counter;
using tq5::admin::Statistics;
using tq5::admin::TaskOutcome;

constexpr const char* kPrefix = "tq5orvcache_";

struct Sample {
  std::string labels;  // `name="value",...` without braces; empty for none
  std::string value;
};

// One metric family: its type, help and samples, written in either format. A counter's
// samples carry the `_total` suffix; in OpenMetrics its family name does not.
class Family {
 public:
  Family(std::string name, const char* type, std::string help)
      : name_(kPrefix + std::move(name)), type_(type), help_(std::move(help)) {}

  Family& Add(std::string labels, std::string value) {
    samples_.push_back({std::move(labels), std::move(value)});
    return *this;
  }

  void Write(MetricsFormat format, std::string* out) const {
    if (samples_.empty()) return;
    const bool counter = type_ == std::string("counter");
    const std::string sample = counter ? name_ + "_total" : name_;
    const std::string& family = format == MetricsFormat::OpenMetrics ? name_ : sample;
    *out += "# TYPE " + family + " " + type_ + "\n";
    *out += "# HELP " + family + " " + help_ + "\n";
    for (const Sample& s : samples_) {
      *out += sample + (s.labels.empty() ? "" : "{" + s.labels + "}") + " " + s.value + "\n";
    }
  }

 private:
  std::string name_;
  const char* type_;
  std::string help_;
  std::vector<Sample> samples_;
};

std::string Number(uint64_t n) { return std::to_string(n); }
std::string Number(int64_t n) { return std::to_string(n); }
std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64, ms / 1000, ms % 1000);
  return text;
}

// A single unlabelled counter.
Family CounterOf(const Statistics& block, const char* name, Counter counter,
                 const char* help) {
  Family family(name, "counter", help);
  family.Add("", Number(block[counter]));
  return family;
}

void AddTask(const char* task, const TaskOutcome& record, Family* at, Family* duration,
             Family* result) {
  if (record.endedAt <= 0) return;
  const std::string label = std::string("task=\"") + task + "\"";
  at->Add(label, Number(record.endedAt));
  duration->Add(label, Seconds(record.durationMs > 0 ? record.durationMs : 0));
  result->Add(label, Number(static_cast<int64_t>(record.result)));
}

// The fill of one of the region's tables.
Family Slots(const std::string& table, int32_t capacity, int32_t highWater, int32_t inUse) {
  static const std::string help = "table: capacity, high-water mark, entries in use.";
  Family family(table + "_slots", "gauge", "The region's " + table + " " + help);
  family.Add("state=\"capacity\"", Number(static_cast<int64_t>(capacity)))
      .Add("state=\"high_water\"", Number(static_cast<int64_t>(highWater)))
      .Add("state=\"in_use\"", Number(static_cast<int64_t>(inUse)));
  return family;
}

}  // namespace

std::string MetricsText(const Statistics& block, const CacheHeader* header,
                        MetricsFormat format) {
  std::vector<Family> families;
  families.push_back(CounterOf(block, "lookups", Counter::Lookups,
                               "Finds of a user's roles that reached the user table."));
  families.push_back(
      CounterOf(block, "hits", Counter::Hits, "Lookups answered from a cached user."));
  families.push_back(
      CounterOf(block, "misses", Counter::Misses, "Lookups of a user who was not cached."));
  Family fetches("fetches", "counter", "Directory fetches of a user's roles, by outcome.");
  fetches.Add("outcome=\"succeeded\"", Number(block[Counter::FetchesSucceeded]))
      .Add("outcome=\"failed\"", Number(block[Counter::FetchesFailed]))
      .Add("outcome=\"timed_out\"", Number(block[Counter::FetchesTimedOut]));
  families.push_back(fetches);
  families.push_back(CounterOf(block, "evictions", Counter::Evictions,
                               "Times the whole user table was emptied to make room."));
  families.push_back(CounterOf(block, "users_expired", Counter::UsersExpired,
                               "Users dropped by an expiry sweep."));
  families.push_back(CounterOf(block, "users_refreshed", Counter::UsersRefreshed,
                               "Users fetched again and stored by an expiry sweep."));
  families.push_back(
      CounterOf(block, "commits", Counter::Commits, "Users' current role sets committed."));
  families.push_back(CounterOf(block, "deletes", Counter::Deletes, "Users deleted on request."));
  Family writes("file_writes", "counter", "Cache-file writes, by outcome.");
  writes.Add("outcome=\"succeeded\"", Number(block[Counter::FileWrites]))
      .Add("outcome=\"failed\"", Number(block[Counter::FileWriteFailures]));
  families.push_back(writes);
  families.push_back(CounterOf(block, "repairs", Counter::Repairs,
                               "Region checks and repairs after a mutex owner died."));
  families.push_back(
      CounterOf(block, "index_hits", Counter::IndexHits, "Users found through the user index."));
  families.push_back(CounterOf(block, "index_misses", Counter::IndexMisses,
                               "Users the index did not name that a scan then found."));
  families.push_back(
      CounterOf(block, "negative_answers", Counter::NegativeAnswers,
                "Lookups answered with a failed answer kept from an earlier fetch."));

  Family since("counting_since_seconds", "gauge",
               "When the counters began: the server's start or the last reset.");
  if (block.countingSince > 0) since.Add("", Number(block.countingSince));
  families.push_back(since);
  Family started("server_start_time_seconds", "gauge", "When the running server started.");
  if (block.server.published) {
    started.Add("", Number(block.server.startedAt));
  }
  families.push_back(started);
  Family written("last_good_file_write_seconds", "gauge",
                 "When the cache file was last written whole.");
  if (block.lastGoodFileWrite > 0) written.Add("", Number(block.lastGoodFileWrite));
  families.push_back(written);

  Family at("last_task_end_seconds", "gauge", "When the server's last merge or sweep ended.");
  Family took("last_task_duration_seconds", "gauge",
              "How long the server's last merge or sweep took.");
  Family result("last_task_result", "gauge",
                "The result code of the server's last merge or sweep (0: success).");
  AddTask("merge", block.lastMerge, &at, &took, &result);
  AddTask("sweep", block.lastSweep, &at, &took, &result);
  families.push_back(at);
  families.push_back(took);
  families.push_back(result);

  if (header) {
    families.push_back(
        Slots("role", header->roleCapacity, header->roleHighWater, header->roleActiveCount));
    families.push_back(
        Slots("user", header->userCapacity, header->userHighWater, header->userActiveCount));
  }

  std::string out;
  for (const Family& family : families) family.Write(format, &out);
  if (format == MetricsFormat::OpenMetrics) out += "# EOF\n";
  return out;
}

}  // namespace orvcache
