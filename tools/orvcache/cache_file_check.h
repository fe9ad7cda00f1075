// The cache file as a starting server sees it: the same acceptance rule, read without
// any region.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tq5orvcache.h"

namespace orvcache {

// The cache file's path, as the library forms it from MERLOC_GROUP_FOLDER_NAME. Empty,
// with the reason in *why, when the library would have none.
std::string CacheFilePath(std::string* why);

struct CacheFileCheck {
  bool present = false;  // something (perhaps no regular file) is there
  bool opened = false;
  // There, but this account cannot open it (its permissions, say): not damage, and a
  // start-up that went on would replace it with an empty cache at its first write.
  bool unreadable = false;
  std::string systemReason;  // the failed call and the system's words, when unreadable
  int64_t size = 0;          // bytes in the file
  bool headerRead = false;   // the first 32 bytes were there
  CacheHeader header{};      // valid when headerRead
  int64_t imageBytes = 0;    // bytes that the header's capacities call for
  bool usable = false;       // a starting server builds its region from this file
  std::string reason;        // why it would not
};

CacheFileCheck CheckCacheFile(const std::string& path);

// The image of a usable file: its first check.imageBytes bytes, to be read as a region
// (the tables through tq5::region::RegionTables, the invariants by CheckRegion). Throws
// ToolError when the file has changed since it was checked.
std::vector<uint8_t> ReadCacheImage(const std::string& path, const CacheFileCheck& check);

}  // namespace orvcache
