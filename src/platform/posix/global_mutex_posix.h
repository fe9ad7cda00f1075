// What the POSIX section needs of the global cache mutex's object.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace tq5::platform {

// The region's generation, kept beside the mutex; read and changed under the mutex.
std::atomic<uint32_t>& RegionGeneration(GlobalMutex* mutex);

}  // namespace tq5::platform
