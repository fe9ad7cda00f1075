// Who may use the cache, as the command tells people: the machine's access setting, the
// kernel objects' owners and permissions, and the words for a refused client.
#pragma once

#include <string>

#include "output.h"

namespace orvcache {

// "everyone" or "group:NAME", as the machine's setting gives it now.
std::string AccessSettingText();

// The message for a client refused the objects by their access list
// ("permission denied: only members of NAME may use the cache"), or an empty text when
// `code` did not come from such a refusal.
std::string AccessDeniedMessage(ResultCode code);

// The mutex's and the region's owner and permissions: printed lines, or JSON.
void PrintObjectAccess();
Json ObjectAccessJson();

}  // namespace orvcache
