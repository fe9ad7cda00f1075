// The failed answers that the user index keeps when negative-cache-seconds is above 0,
// for the administrator: listed, and forgotten all at once.
#pragma once

#include <vector>

#include "region/user_index.h"

namespace tq5::users {

// The failed answers kept now (none where none are kept); each takes the global cache
// mutex and the region's view for the call. A failure's reason is this thread's latest
// failure when they return.
ResultCode ListFailedAnswers(std::vector<region::FailedAnswer>* out);
ResultCode ForgetAllFailedAnswers();

}  // namespace tq5::users
