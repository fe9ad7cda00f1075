// The machine's statistics: counters that every process adds to, and the settings the
// running server publishes, in a small named object beside the region (the region and
// the cache file keep their layout). The server makes the object with its region and
// removes it with the region; a process that finds none, or one of another layout,
// counts nothing. Counting is a plain add under the global cache mutex, which every
// counting site holds already, through a mapping kept per mutex handle: no allocation
// and no system call on the way.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/object_access.h"
#include "tq5orvcache.h"
#include "tq5orvcache_admin.h"

namespace tq5::region {

// What is counted (tq5orvcache_admin.h lists it), in the order of the object's counters.
using admin::Counter;
using admin::kCounterCount;

// A timed task of the server: the last one of its kind.
struct TaskRecord {
  int64_t endedAt;  // seconds since 1970; 0: none yet
  int64_t durationMs;
  int32_t result;  // its ResultCode
  uint32_t reserved;
};
static_assert(sizeof(TaskRecord) == 24);

inline constexpr std::size_t kPublishedTextSize = 512;
inline constexpr std::size_t kVersionTextSize = 32;

// The settings the running server works with, as it published them at its start.
// Texts are NUL-terminated and cut to fit.
struct ServerSettingsRecord {
  uint32_t published;  // 1 once the server has written the rest
  uint32_t processId;
  int64_t startedAt;  // seconds since 1970
  int64_t fetchTimeoutMs;
  int64_t rolesIntervalMs;  // 0: never
  int64_t sweepIntervalMs;
  int64_t writeIntervalMs;
  char cacheFile[kPublishedTextSize];  // empty: runs without a cache file
  char directory[kPublishedTextSize];  // the provider its role list comes from
  char version[kVersionTextSize];
};
static_assert(sizeof(ServerSettingsRecord) == 48 + 2 * kPublishedTextSize + kVersionTextSize);

// The object's bytes. The magic, the layout's version and its size come first, so that a
// process of another build refuses a layout it would misread. Fixed-width fields at
// offsets that 32-bit and 64-bit builds agree on.
struct StatisticsBlock {
  uint32_t magic;
  uint32_t version;
  uint32_t size;
  uint32_t reserved;
  int64_t countingSince;  // the server's start, or the last reset
  uint64_t counters[kCounterCount];
  int64_t lastGoodFileWrite;  // seconds since 1970; 0: none since counting began
  TaskRecord lastMerge;
  TaskRecord lastSweep;
  ServerSettingsRecord server;
};
static_assert(offsetof(StatisticsBlock, countingSince) == 16);
static_assert(offsetof(StatisticsBlock, counters) == 24);
static_assert(offsetof(StatisticsBlock, lastGoodFileWrite) == 24 + 8 * kCounterCount);
static_assert(offsetof(StatisticsBlock, lastMerge) == 32 + 8 * kCounterCount);
static_assert(offsetof(StatisticsBlock, lastSweep) == 56 + 8 * kCounterCount);
static_assert(offsetof(StatisticsBlock, server) == 80 + 8 * kCounterCount);
static_assert(sizeof(StatisticsBlock) == 80 + 8 * kCounterCount + sizeof(ServerSettingsRecord));

// ---- Counting, with the global cache mutex held ------------------------------------
void Count(Counter counter);
// A lookup that reached the user table, and whether it was a hit.
void CountLookup(bool hit);
// A directory fetch's outcome: succeeded, timed out, or failed otherwise.
void CountFetch(ResultCode fetch);
// A cache-file write's outcome; a good one's time is kept.
void CountFileWrite(ResultCode rc);

enum class ServerTask { Merge, Sweep };
// Measures a server task from its construction.
class TaskClock {
 public:
  int64_t ElapsedMs() const;

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
void NoteServerTask(ServerTask task, const TaskClock& clock, ResultCode result);

// ---- The server's object, with the global cache mutex held -------------------------
// Made (or, where a client still holds one, written afresh) right after the region;
// counting starts from zero.
ResultCode CreateStatistics(const platform::ObjectAccess& access);
// Removed with the region.
void RemoveStatistics();

// ---- Reading and writing it whole; each takes the global cache mutex ---------------
// False when there is no object of this layout (no server, or one of another build).
bool PublishServerSettings(const ServerSettingsRecord& settings);
bool ReadStatistics(StatisticsBlock* copy);
// Zeroes the counters and the last file write; the server's settings and tasks stay.
// `before`, when given, receives the object as it was, in the same hold of the mutex.
bool ResetCounters(StatisticsBlock* before = nullptr);

}  // namespace tq5::region
