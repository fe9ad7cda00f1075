// What a failure means for the person at the command line, beside the library's fixed
// message (which stays exactly as the library words it): which object, which user, and
// what to do about it.
#pragma once

#include <string>

#include "tq5orvcache.h"

namespace orvcache {

// A sentence for the failure `code` of a call about `user` (empty when it was about
// none), or an empty text when there is nothing to add.
std::string Explain(ResultCode code, const std::string& user = "");

}  // namespace orvcache
