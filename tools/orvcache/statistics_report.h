// The machine's statistics and the running server's published settings, as `orvcache
// stats` and `orvcache status` show them.
#pragma once

#include <string>

#include "output.h"
#include "tq5orvcache_admin.h"

namespace orvcache {

// The counters, the ratio and the server's last tasks.
Json StatisticsJson(const tq5::admin::Statistics& block);
void PrintStatistics(const tq5::admin::Statistics& block);

// The share of lookups that were hits, or null before the first lookup.
Json HitRatioJson(const tq5::admin::Statistics& block);
// "80.0% (8 of 10 lookups)", or "-" before the first lookup.
std::string HitRatioText(const tq5::admin::Statistics& block);

// The server's settings as it published them, with whether it still lives; null when no
// server has published them.
Json ServerJson(const tq5::admin::Statistics* block, bool alive);
// Lines labelled as the server's own report, or the words for none; for a server that no
// longer lives, what that means for the region it left.
void PrintServer(const tq5::admin::Statistics* block, bool alive);

}  // namespace orvcache
