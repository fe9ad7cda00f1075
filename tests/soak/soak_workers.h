// The processes the soak starts and kills: clients that look users up, delete and
// commit them and judge every answer against the directory, and holders that take the
// global cache mutex for a while, over and over, with the region damaged while they
// hold it, so that a kill leaves the next taker a dead owner and a repair to make.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tq5::soak {

// Exit codes of a worker: 0 once the board said stop, kWorkerSetupFailed when it could
// not start. Wrong answers are counted on the board, not in the exit code.
inline constexpr int kWorkerSetupFailed = 3;

// A client accepts, for each user, the set of any one of the directory's versions. A
// bare one skips InitializeTQ5ORVCache, as a careless program does; its calls must still
// hold the global cache mutex.
int RunClient(const std::string& boardPath, int slot, uint32_t seed, int users,
              const std::vector<std::string>& versionPaths, bool bare = false);
int RunHolder(const std::string& boardPath, int slot, uint32_t seed);

}  // namespace tq5::soak
