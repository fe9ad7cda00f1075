#include "region/cache_file_check.h"

#include <cstring>
#include <mutex>
#include <new>

#include "region/cache_image.h"

namespace tq5::region {

namespace {

// Why a header's figures describe no region a start-up would build; empty when they do.
std::string HeaderFaultText(const CacheHeader& h) {
  switch (FindHeaderFault(h)) {
    case HeaderFault::Capacities:
      return "the capacities (" + std::to_string(h.roleCapacity) + " roles, " +
             std::to_string(h.userCapacity) + " users) describe no region a section can hold";
    case HeaderFault::RoleMarks:
      return "the role table's high-water mark " + std::to_string(h.roleHighWater) +
             " or count " + std::to_string(h.roleActiveCount) + " is outside its capacity " +
             std::to_string(h.roleCapacity);
    case HeaderFault::UserMarks:
      return "the user table's high-water mark " + std::to_string(h.userHighWater) +
             " or count " + std::to_string(h.userActiveCount) + " is outside its capacity " +
             std::to_string(h.userCapacity);
    case HeaderFault::None:
      break;
  }
  return std::string();
}

std::mutex originGuard;
admin::RegionOrigin latestOrigin;  // guarded by originGuard

}  // namespace

admin::CacheFileCheck ExamineCacheFile(const std::string& path, platform::FileHandle* keepOpen) {
  admin::CacheFileCheck check;
  platform::FileHandle file = platform::kNoFile;
  uint64_t size = 0;
  std::string why;
  const platform::FileOpen opened = platform::OpenRegularFileForReading(path, &file, &size, &why);
  if (opened != platform::FileOpen::Opened) {
    check.present = opened != platform::FileOpen::Missing;
    check.unreadable = opened == platform::FileOpen::Failed;
    if (check.unreadable) check.systemReason = why;
    check.reason = opened == platform::FileOpen::Missing      ? "there is no such file"
                   : opened == platform::FileOpen::NotRegular ? why
                                                              : "the file cannot be opened for reading";
    return check;
  }
  check.opened = check.present = true;
  check.size = static_cast<int64_t>(size);
  std::size_t got = 0;
  check.headerRead =
      platform::ReadFromFile(file, &check.header, sizeof check.header, &got) &&
      got == sizeof check.header;
  if (!check.headerRead) {
    check.reason = "the file is shorter than the 32-byte header";
  } else if (check.reason = HeaderFaultText(check.header); check.reason.empty()) {
    check.imageBytes = static_cast<int64_t>(CacheImageSize(check.header));
    if (check.size < check.imageBytes) {
      check.reason = "the tables are shorter than the header announces (" +
                     std::to_string(check.size) + " of " + std::to_string(check.imageBytes) +
                     " bytes)";
    } else {
      check.usable = true;
    }
  }
  if (check.usable && keepOpen) {
    *keepOpen = file;
  } else {
    platform::CloseFileForReading(file);
  }
  return check;
}

bool ReadCacheFileImage(const std::string& path, CacheFileImage* image, std::string* reason) {
  platform::FileHandle file = platform::kNoFile;
  const admin::CacheFileCheck check = ExamineCacheFile(path, &file);
  if (!check.usable) {
    *reason = check.reason;
    return false;
  }
  const auto size = static_cast<std::size_t>(check.imageBytes);
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
  const std::size_t tableBytes = size - sizeof check.header;
  std::size_t got = 0;
  bool read = false;
  if (!bytes) {
    *reason = "there is not memory enough to read its tables";
  } else if (!platform::ReadFromFile(file, bytes.get() + sizeof check.header, tableBytes, &got) ||
             got != tableBytes) {
    *reason = "its tables could not be read whole";
  } else {
    std::memcpy(bytes.get(), &check.header, sizeof check.header);
    image->bytes = std::move(bytes);
    image->size = size;
    image->header = check.header;
    read = true;
  }
  platform::CloseFileForReading(file);
  return read;
}

void NoteRegionOrigin(admin::RegionOrigin origin) {
  const std::lock_guard<std::mutex> hold(originGuard);
  latestOrigin = std::move(origin);
}

admin::RegionOrigin LatestRegionOrigin() {
  const std::lock_guard<std::mutex> hold(originGuard);
  return latestOrigin;
}

}  // namespace tq5::region
