// The cache file's acceptance rule, in one place: the server's start-up builds its region
// from the file exactly when this check finds it usable, and `orvcache` applies the same
// check to judge a file without any region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// A usable file's whole image, the header and the tables its capacities call for, read
// in the same open as its check.
struct CacheFileImage {
  std::unique_ptr<uint8_t[]> bytes;
  std::size_t size = 0;
  CacheHeader header{};
};
// False, with *reason, when the check finds the file unusable, when there is no memory
// for its image, or when it cannot be read whole. The size is known before the image is
// allocated, so that a damaged header cannot make the reader allocate gigabytes for a
// file that could never fill them; a failed allocation answers false, it throws nothing.
bool ReadCacheFileImage(const std::string& path, CacheFileImage* image, std::string* reason);

// How this process's latest start-up of the region came to build it: from the cache
// file, or from the defaults and why. Kept by the start-up, read by `orvcache server`.
void NoteRegionOrigin(admin::RegionOrigin origin);
admin::RegionOrigin LatestRegionOrigin();

}  // namespace tq5::region
