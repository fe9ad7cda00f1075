#include "region/statistics.h"

#include <atomic>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "region/locks.h"
#include "region/region_state.h"

namespace tq5::region {

namespace {

constexpr uint32_t kMagic = 0x53355154;  // "TQ5S"
constexpr uint32_t kLayoutVersion = 2;
// The object's size: the block, in a page of its own.
constexpr uint32_t kObjectSize = 4096;
static_assert(sizeof(StatisticsBlock) <= kObjectSize);

// The server's own object, from its region's creation to its removal. Changed only under
// the global cache mutex.
struct ServerStatistics {
  platform::StatisticsObject* object = nullptr;
  StatisticsBlock* block = nullptr;
};

ServerStatistics& ServerObject() {
  static ServerStatistics state;
  return state;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// Raised whenever this process makes or removes its object, so that a hold of the
// mutex in which that happens looks again.
std::atomic<uint64_t> objectsMade{0};

// The block of the current region's object as the handle through which this thread
// holds the mutex keeps it, or null without one of this layout (or without the mutex).
// Looked for once per hold: a call that counts several things checks the object once.
StatisticsBlock* Block() {
  struct Looked {
    uint64_t hold = 0;
    uint64_t made = 0;
    platform::GlobalMutex* mutex = nullptr;
    StatisticsBlock* block = nullptr;
  };
  thread_local Looked looked;
  platform::GlobalMutex* held = HeldCacheMutex();
  if (!held) return nullptr;
  const uint64_t hold = CacheHoldSerial();
  const uint64_t made = objectsMade.load();
  if (looked.mutex == held && looked.hold == hold && looked.made == made) return looked.block;
  auto* block = static_cast<StatisticsBlock*>(platform::StatisticsView(held, kObjectSize));
  if (!block || block->magic != kMagic || block->version != kLayoutVersion ||
      block->size != sizeof(StatisticsBlock)) {
    block = nullptr;
  }
  looked = Looked{hold, made, held, block};
  return block;
}

void ZeroCounters(StatisticsBlock* block) {
  std::memset(block->counters, 0, sizeof block->counters);
  block->lastGoodFileWrite = 0;
  block->countingSince = Now();
}

}  // namespace

void Count(Counter counter) {
  if (StatisticsBlock* block = Block()) ++block->counters[static_cast<uint32_t>(counter)];
}

void CountLookup(bool hit) {
  if (StatisticsBlock* block = Block()) {
    ++block->counters[static_cast<uint32_t>(Counter::Lookups)];
    ++block->counters[static_cast<uint32_t>(hit ? Counter::Hits : Counter::Misses)];
  }
}

void CountFetch(ResultCode fetch) {
  Count(fetch == CACHE_OK                ? Counter::FetchesSucceeded
        : fetch == CACHE_E_FETCH_TIMEOUT ? Counter::FetchesTimedOut
                                         : Counter::FetchesFailed);
}

void CountFileWrite(ResultCode rc) {
  StatisticsBlock* block = Block();
  if (!block) return;
  if (rc != CACHE_OK) {
    ++block->counters[static_cast<uint32_t>(Counter::FileWriteFailures)];
    return;
  }
  ++block->counters[static_cast<uint32_t>(Counter::FileWrites)];
  block->lastGoodFileWrite = Now();
}

int64_t TaskClock::ElapsedMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void NoteServerTask(ServerTask task, const TaskClock& clock, ResultCode result) {
  StatisticsBlock* block = Block();
  if (!block) return;
  TaskRecord& record = task == ServerTask::Merge ? block->lastMerge : block->lastSweep;
  record = TaskRecord{Now(), clock.ElapsedMs(), result, 0};
}

ResultCode CreateStatistics(const platform::ObjectAccess& access) {
  ServerStatistics& state = ServerObject();
  if (state.object) return CACHE_OK;
  objectsMade.fetch_add(1);
  void* view = nullptr;
  const ResultCode rc = platform::CreateStatisticsObject(kObjectSize, &state.object, &view, access);
  if (rc != CACHE_OK) return rc;
  // Written whole, also over an object that clients kept from an earlier server.
  auto* block = static_cast<StatisticsBlock*>(view);
  std::memset(block, 0, sizeof *block);
  block->magic = kMagic;
  block->version = kLayoutVersion;
  block->size = sizeof(StatisticsBlock);
  ZeroCounters(block);
  state.block = block;
  return CACHE_OK;
}

void RemoveStatistics() {
  ServerStatistics& state = ServerObject();
  if (!state.object) return;
  // A client that kept the object (where it outlives the server) must not read the
  // settings of a server that is gone. Through the checked view: the object may have
  // been shrunk under the server's own mapping.
  if (StatisticsBlock* block = Block()) block->server.published = 0;
  platform::CloseStatisticsObject(state.object);
  state = ServerStatistics{};
  objectsMade.fetch_add(1);
}

bool PublishServerSettings(const ServerSettingsRecord& settings) {
  const CacheLock lock;
  if (lock.status() != CACHE_OK) return false;
  StatisticsBlock* block = Block();
  if (!block) return false;
  block->server = settings;
  block->server.published = 1;
  return true;
}

bool ReadStatistics(StatisticsBlock* copy) {
  const CacheLock lock;
  if (lock.status() != CACHE_OK) return false;
  const StatisticsBlock* block = Block();
  if (!block) return false;
  *copy = *block;
  return true;
}

bool ResetCounters(StatisticsBlock* before) {
  const CacheLock lock;
  if (lock.status() != CACHE_OK) return false;
  StatisticsBlock* block = Block();
  if (!block) return false;
  if (before) *before = *block;
  ZeroCounters(block);
  return true;
}

}  // namespace tq5::region
