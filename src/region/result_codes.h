#pragma once

#include <string>

#include "tq5orvcache.h"

namespace tq5::region {

// The fixed message of 0 and of -101 to -149; null for any other value.
const char* FixedMessage(ResultCode code);
// The message that GetTQ5ORVCacheErrorMessage delivers for `code`.
std::string Message(ResultCode code);

}  // namespace tq5::region
