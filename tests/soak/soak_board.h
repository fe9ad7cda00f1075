// The soak's scoreboard: a small file that the driver and every worker map shared, so
// that each worker's counts survive its SIGKILL. One slot per worker position; the
// driver folds a slot into its totals and clears it before it starts the position's
// next process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tq5::soak {

inline constexpr int kMaxWorkers = 32;

struct WorkerSlot {
  std::atomic<uint64_t> lookups{0};      // finds asked, answered or not
  std::atomic<uint64_t> answers{0};      // finds and current-set reads answered with roles
  std::atomic<uint64_t> wrong{0};        // answers that differ from the directory's
  std::atomic<uint64_t> unexpected{0};   // result codes the call may not give here
  std::atomic<uint64_t> timeouts{0};     // fetches cut off by the time limit
  std::atomic<uint64_t> unavailable{0};  // calls while a restarting server had no region
  std::atomic<uint64_t> repairs{0};      // the process's repairs after an owner's death
  std::atomic<uint64_t> holds{0};        // times a holder took the global cache mutex
  std::atomic<int32_t> holding{0};       // 1 while a holder is inside the mutex
  std::atomic<int32_t> lastUnexpected{0};
};

struct Board {
  std::atomic<int32_t> stop{0};  // set by the driver: workers finish cleanly
  WorkerSlot slots[kMaxWorkers];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free, "counters shared between processes");

// Maps the board file at `path`, creating it (zero-filled) when `create`. Null on failure.
Board* MapBoard(const std::string& path, bool create);

}  // namespace tq5::soak
