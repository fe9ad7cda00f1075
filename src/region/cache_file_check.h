// The cache file's acceptance rule, in one place: the server's start-up builds its region
// from the file exactly when this check finds it usable, and `orvcache` applies the same
// check to judge a file without any region.
#pragma once

#include <string>

#include "platform/platform.h"
#include "tq5orvcache_admin.h"

namespace tq5::region {

// Checks the file at `path`: only a regular file is opened (a FIFO in its place would
// make the reader wait for ever), its 32-byte header must describe a region a section
// can hold with marks inside the capacities, and the file must hold every byte the
// capacities call for. With `keepOpen`, a usable file stays open, read up to the end of
// its header, in *keepOpen for the caller to read its tables from and close; anything
// else is closed before the check returns.
admin::CacheFileCheck ExamineCacheFile(const std::string& path,
                                       platform::FileHandle* keepOpen = nullptr);

// How this process's latest start-up of the region came to build it: from the cache
// file, or from the defaults and why. Kept by the start-up, read by `orvcache server`.
void NoteRegionOrigin(admin::RegionOrigin origin);
admin::RegionOrigin LatestRegionOrigin();

}  // namespace tq5::region
