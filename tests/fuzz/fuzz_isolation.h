// What every fuzz target that reaches kernel objects shares: names of its own, so that a
// fuzz run never meets a real cache or another run, and nothing of it left in /dev/shm.
#pragma once

#include <string>

namespace tq5fuzz {

// Sets TQ5ORVCACHE_OBJECT_PREFIX to "tq5fz<pid>_" and a cache folder of this process's
// own under the temporary folder; both are removed again when the process exits. The
// folder's path.
std::string IsolateProcess();

}  // namespace tq5fuzz
