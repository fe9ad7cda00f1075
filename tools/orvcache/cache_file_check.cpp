#include "cache_file_check.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "output.h"
#include "platform/platform.h"
#include "region/cache_file.h"
#include "region/cache_image.h"

namespace orvcache {
std::string CacheFilePath(std::string* why) {
  std::string path;
  return tq5::region::CacheFilePath(&path, why) ? path : std::string();
}

CacheFileCheck CheckCacheFile(const std::string& path) {
  using tq5::region::HeaderFault;
  CacheFileCheck check;
  // As the start-up reads it: only a regular file, without waiting on a FIFO.
  tq5::platform::FileHandle file = tq5::platform::kNoFile;
  uint64_t size = 0;
  std::string why;
  const tq5::platform::FileOpen opened =
      tq5::platform::OpenRegularFileForReading(path, &file, &size, &why);
  if (opened != tq5::platform::FileOpen::Opened) {
    check.present = opened != tq5::platform::FileOpen::Missing;
    check.unreadable = opened == tq5::platform::FileOpen::Failed;
    if (check.unreadable) check.systemReason = why;
    check.reason = opened == tq5::platform::FileOpen::Missing ? "there is no such file"
                   : opened == tq5::platform::FileOpen::NotRegular
                       ? why
                       : "the file cannot be opened for reading";
    return check;
  }
  check.opened = check.present = true;
  check.size = static_cast<int64_t>(size);
  std::size_t got = 0;
  check.headerRead = tq5::platform::ReadFromFile(file, &check.header, sizeof check.header, &got) &&
                     got == sizeof check.header;
  tq5::platform::CloseFileForReading(file);
  if (!check.headerRead) {
    check.reason = "the file is shorter than the 32-byte header";
    return check;
  }
  const CacheHeader& h = check.header;
  switch (tq5::region::FindHeaderFault(h)) {
    case HeaderFault::Capacities:
      check.reason = "the capacities (" + std::to_string(h.roleCapacity) + " roles, " +
                     std::to_string(h.userCapacity) +
                     " users) describe no region a section can hold";
      return check;
    case HeaderFault::RoleMarks:
      check.reason = "the role table's high-water mark " + std::to_string(h.roleHighWater) +
                     " or count " + std::to_string(h.roleActiveCount) +
                     " is outside its capacity " + std::to_string(h.roleCapacity);
      return check;
    case HeaderFault::UserMarks:
      check.reason = "the user table's high-water mark " + std::to_string(h.userHighWater) +
                     " or count " + std::to_string(h.userActiveCount) +
                     " is outside its capacity " + std::to_string(h.userCapacity);
      return check;
    case HeaderFault::None:
      break;
  }
  check.imageBytes = static_cast<int64_t>(tq5::region::CacheImageSize(h));
  if (check.size < check.imageBytes) {
    check.reason = "the tables are shorter than the header announces (" +
                   std::to_string(check.size) + " of " + std::to_string(check.imageBytes) +
                   " bytes)";
    return check;
  }
  check.usable = true;
  return check;
}

std::vector<uint8_t> ReadCacheImage(const std::string& path, const CacheFileCheck& check) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(static_cast<std::size_t>(check.imageBytes));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) throw ToolError(path + ": the file changed while it was read");
  return bytes;
}

}  // namespace orvcache
