// The machine's statistics as a monitoring system reads them: the OpenMetrics text
// format, or the Prometheus text format that the node exporter's textfile collector takes.
#pragma once

#include <string>

#include "tq5orvcache_admin.h"
#include "tq5orvcache.h"

namespace orvcache {

enum class MetricsFormat { OpenMetrics, Prometheus };

// Every counter (as `_total`), when counting began, the running server's start, the last
// good cache-file write, the last merge's and sweep's time, duration and result, and,
// given `header`, the region's fill. Times are seconds since 1970; a time that has not
// happened yet (a first write still to come) has no sample.
std::string MetricsText(const tq5::admin::Statistics& block, const CacheHeader* header,
                        MetricsFormat format);

}  // namespace orvcache
