// The cache file: a byte-for-byte image of the region, read by the server's start-up
// and written by WriteCacheDataToFile, so that the cache survives a restart.
#include "region/cache_file.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/settings.h"
#include "region/cache_file_check.h"
#include "region/cache_image.h"
#include "region/call_patterns.h"
#include "region/exported_calls.h"
#include "region/server_access.h"
#include "region/statistics.h"
#include "region/temporary_files.h"
#include "region/user_index.h"

using namespace tq5::region;

namespace {

constexpr uint32_t kPathBufferSize = 256;
constexpr const char* kFolderVariable = "MERLOC_GROUP_FOLDER_NAME";
constexpr char kFileName[] = "TQ5ORVCACHE.dat";
// A path that is legal for the cache file (255 characters) is legal for its temporary
// file (Windows takes 259).
static_assert(kTemporaryNameLength <= sizeof kFileName - 1 + 4);
constexpr const char* kSharedFolderSetting = "shared-cache-folder";

CacheHeader DefaultHeader() {
  CacheHeader header{};
  header.roleCapacity = kDefaultRoleCapacity;
  header.userCapacity = kDefaultUserCapacity;
  header.autoCommitRoles = kDefaultAutoCommitRoles;
  header.configValue = kDefaultConfigValue;
  return header;
}

// What the start-up builds the region from: the cache file's image, or (with none) the
// default header alone.
struct FileImage {
  CacheHeader header = DefaultHeader();
  CacheFileImage file;  // empty: build the default region
};

std::mutex writersOfThisProcess;

// Writes the region's image to `file`: the header as checked, then its tables. The
// header must be one the start-up builds a region from, and its tables must lie inside
// the view, or the image would replace a usable cache file with one the next start
// throws away (or one that reads past the view): CACHE_E_CORRUPTED then.
tq5::platform::Status WriteRegionImage(tq5::platform::FileHandle file, const std::string& path) {
  using tq5::platform::Status;
  CacheLock lock;
  if (lock.status() != CACHE_OK) return Status::After(lock.status());
  const MappedRegion& view = ProcessRegion().regionView;
  if (!view) {
    return Status::Refused(CACHE_E_REGION_NOT_MAPPED, "WriteCacheDataToFile", "",
                           "this process has no view of the region (only a server writes the "
                           "cache file)");
  }
  const CacheHeader header = view.size < kHeaderSize ? CacheHeader{} : view.header();
  // The capacities must be those the region was made with: a damaged header with
  // smaller ones (0 and 0 among them) still fits the view, but its image would lose
  // every table for good.
  const ProcessState& state = ProcessRegion();
  const bool layoutKnown = state.createdRoleCapacity >= 0 && state.createdUserCapacity >= 0;
  if (view.size < kHeaderSize || FindHeaderFault(header) != HeaderFault::None ||
      CacheImageSize(header) > view.size ||
      (layoutKnown && (header.roleCapacity != state.createdRoleCapacity ||
                       header.userCapacity != state.createdUserCapacity))) {
    return Status::Refused(CACHE_E_CORRUPTED, "WriteCacheDataToFile", "",
                           "the region's header does not describe the region (or none a start-up "
                           "would accept); the cache file is left as it was");
  }
  const std::size_t tableBytes = static_cast<std::size_t>(CacheImageSize(header)) - kHeaderSize;
  Status written = tq5::platform::WriteToFile(file, &header, kHeaderSize, path);
  if (written.ok())
    written = tq5::platform::WriteToFile(file, view.base + kHeaderSize, tableBytes, path);
  return written;
}

}  // namespace

namespace tq5::region {

namespace {

// The path as the folder variable forms it, whatever its length; false without one. An
// empty folder names none: it would put the file at the top of the file system, and it
// is how a process that wants no cache file keeps the machine's folder out.
bool FormPath(std::string* path) {
  const char* folder = platform::zv_getenv(kFolderVariable);
  if (!folder || !*folder) return false;
  *path = std::string(folder) + platform::kPathSeparator + kFileName;
  return true;
}

}  // namespace

int GetCacheFilePath(char* buffer, uint32_t* size) {
  if (!buffer || !size) return 0;
  std::string path;
  if (!FormPath(&path)) return 0;
  if (*size == 0 || path.size() > *size - 1) return 0;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  *size = static_cast<uint32_t>(path.size());
  return 1;
}

bool CacheFilePath(std::string* path, std::string* why) {
  if (!FormPath(path)) {
    const char* folder = platform::zv_getenv(kFolderVariable);
    *why = folder ? std::string(kFolderVariable) + " is empty"
                  : platform::UnsetSettingText(platform::kCacheFolderSetting);
    return false;
  }
  if (path->size() > kPathBufferSize - 1) {
    *why = "the cache file's path is longer than " + std::to_string(kPathBufferSize - 1) +
           " characters";
    path->clear();
    return false;
  }
  return true;
}

bool CacheFolderAccepted(const std::string& folder, std::string* why) {
  std::string named = folder;
  if (named.size() > 1 && named.back() == platform::kPathSeparator) named.pop_back();
  std::string who;
  if (!platform::FolderWritableByOthers(named, &who)) return true;
  *why = who + ": any of them could put a file or a link where the cache file is written";
  if (platform::CachedSettingIsOn(kSharedFolderSetting)) {
    *why += " (accepted: " + std::string(kSharedFolderSetting) + " = yes)";
    return true;
  }
  *why += "; make it writable by this account only, or accept it with the setting " +
          std::string(kSharedFolderSetting) + " = yes";
  return false;
}

}  // namespace tq5::region

namespace {

// The folder of a cache file's path, with its separator at the end.
std::string FolderOf(const char* path, uint32_t pathSize) {
  return std::string(path, pathSize - (sizeof kFileName - 1));
}

}  // namespace

namespace {

// Creates the region with the file's header and fills it; the caller holds the mutex.
tq5::platform::Status FillRegion(const FileImage& image, uint32_t negativeSeconds)
    TQ5_REQUIRES(cacheMutexCapability) {
  using tq5::platform::Status;
  const CacheHeader& h = image.header;
  if (Status created = CreateRegion(h.roleCapacity, h.userCapacity, negativeSeconds);
      !created.ok()) {
    return created;
  }
  if (Status mapped = MapRegion(); !mapped.ok()) return mapped;
  if (ProcessRegion().regionView.size < RegionSize(h.roleCapacity, h.userCapacity)) {
    // The name already held a smaller section of another process; writing this
    // layout into it would run past its end. The refusal is what the caller hears.
    const Status unmapped = UnmapRegion();
    static_cast<void>(unmapped);
    CloseMapping();
    return Status::Refused(CACHE_E_CREATE_MAPPING, "CreateRegion",
                           tq5::platform::ObjectName(tq5::platform::kSectionName),
                           "the name holds a smaller region of another process");
  }
  ResultCode rc = CACHE_OK;
  if ((rc = PutRoleProperties(h.roleCapacity, h.roleHighWater, h.roleActiveCount)) != CACHE_OK ||
      (rc = PutUserProperties(h.userCapacity, h.userHighWater, h.userActiveCount)) != CACHE_OK ||
      (rc = PutConfigurationData(h.autoCommitRoles, h.configValue)) != CACHE_OK) {
    return Status::Answer(rc);
  }
  if (image.file.bytes) {
    std::memcpy(ProcessRegion().regionView.base + kHeaderSize, image.file.bytes.get() + kHeaderSize,
                image.file.size - kHeaderSize);
  }
  RebuildUserIndex();
  return FlushRegionView();
}

// Takes down a region that a start-up made only in part, so that the next start-up
// finds none: what could not be taken down for want of memory stays as it is.
void DropPartialRegion() noexcept TQ5_REQUIRES(cacheMutexCapability) {
  try {
    if (ProcessRegion().regionView) {
      const tq5::platform::Status unmapped = UnmapRegion();
      static_cast<void>(unmapped);
    }
    CloseMapping();
  } catch (...) {
  }
}

}  // namespace

tq5::platform::Status tq5::calls::InitializeCacheDataSharedMemory() {
  char path[kPathBufferSize];
  uint32_t pathSize = kPathBufferSize;
  // The file is read before the mutex is taken; only creating and filling the region
  // happen inside it.
  // A file in a folder that others may write may be theirs: the defaults then.
  // How the region came to be is kept for the server's report of its start.
  tq5::admin::RegionOrigin origin;
  FileImage image;
  std::string why;
  if (!CacheFilePath(&origin.file, &origin.reason)) {
    origin.file.clear();
  } else if (!GetCacheFilePath(path, &pathSize) ||
             !CacheFolderAccepted(FolderOf(path, pathSize), &why)) {
    origin.reason = "its folder " + why;
  } else {
    // Read before the mutex is taken, in the same open as the acceptance check.
    origin.fromFile = ReadCacheFileImage(path, &image.file, &origin.reason);
    if (origin.fromFile) image.header = image.file.header;
  }
  // Read with the file, before the mutex: it may come from the settings file.
  const uint32_t negativeSeconds = NegativeCacheSeconds();

  CacheLock lock;
  if (lock.status() != CACHE_OK) return tq5::platform::Status::Answer(lock.status());
  const bool hadRegion = ProcessRegion().regionMapping != nullptr;
  NoteRegionOrigin(std::move(origin));
  try {
    return FillRegion(image, negativeSeconds);
  } catch (...) {
    if (!hadRegion) DropPartialRegion();
    throw;
  }
}

namespace {

tq5::platform::Status WriteCacheFile() {
  using tq5::platform::Status;
  char path[kPathBufferSize];
  uint32_t pathSize = kPathBufferSize;
  if (!GetCacheFilePath(path, &pathSize)) return Status::Answer(CACHE_E_FILE_CREATE);
  // The new image goes to a file of its own and replaces the old one only once it is
  // complete on disk: a failed or interrupted write never costs the previous cache.
  std::lock_guard<std::mutex> turn(writersOfThisProcess);
  const std::string folder = FolderOf(path, pathSize);
  std::string why;
  if (!CacheFolderAccepted(folder, &why)) {
    return Status::Refused(CACHE_E_FILE_CREATE, "WriteCacheDataToFile", folder, why);
  }
  RemoveTemporaryFilesOfDeadWriters(folder);
  tq5::platform::ObjectAccess access;
  if (!ServerAccess(&access).ok()) return Status::After(CACHE_E_FILE_CREATE);
  return ReplaceFileFrom(folder, path, access, WriteRegionImage);
}

}  // namespace

tq5::platform::Status tq5::calls::WriteCacheDataToFile() {
  tq5::platform::Status written = WriteCacheFile();
  const CacheLock lock;
  if (lock.status() == CACHE_OK) CountFileWrite(written.code());
  return written;
}
