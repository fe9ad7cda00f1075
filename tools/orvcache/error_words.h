// What a failure means for the person at the command line, beside the library's fixed
// message (which stays exactly as the library words it): which object, which user, and
// what to do about it.
#pragma once

#include <string>

#include "tq5orvcache.h"

namespace orvcache {

// A sentence for the failure `code` of a call about `user` (empty when it was about
// none), or an empty text when there is nothing to add. It begins with the system's
// reason when this thread's latest failure is that code's.
std::string Explain(ResultCode code, const std::string& user = "");

// The system's reason for the failure `code` ("shm_open(/ZOLMAR_ORVCACHE): Permission
// denied"), when this thread's latest failure is that code's; else an empty text.
std::string SystemReason(ResultCode code);

}  // namespace orvcache
