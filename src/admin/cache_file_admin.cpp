// The admin interface's cache file: its path and folder rule, the one acceptance check,
// the tables of a file read without any region, and whole-file writes by the writers'
// own rule.
#include <filesystem>
#include <string>

#include "platform/object_access.h"
#include "platform/platform.h"
#include "region/cache_file.h"
#include "region/cache_file_check.h"
#include "region/layout.h"
#include "region/region_check.h"
#include "region/temporary_files.h"
#include "tq5orvcache_admin.h"

namespace tq5::admin {

namespace {

std::string FailureText(const platform::Status& status) {
  const platform::Failure* failure = status.failure();
  return failure ? failure->Text() : std::string("failed");
}

// The folder a file of `path` goes in, with the separator at its end.
std::string FolderOfPath(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  return folder + platform::kPathSeparator;
}

}  // namespace

bool CacheFilePath(std::string* path, std::string* why) { return region::CacheFilePath(path, why); }

bool CacheFolderAccepted(const std::string& folder, std::string* why) {
  return region::CacheFolderAccepted(folder, why);
}

CacheFileCheck CheckCacheFile(const std::string& path) { return region::ExamineCacheFile(path); }

RegionOrigin LatestRegionOrigin() { return region::LatestRegionOrigin(); }

bool ReadCacheFileTables(const std::string& path, const CacheFileCheck& check,
                         CacheFileTables* tables, std::string* why) {
  *tables = CacheFileTables{};
  region::CacheFileImage image;
  std::string reason;
  if (!region::ReadCacheFileImage(path, &image, &reason)) {
    *why = path + ": " + reason;
    return false;
  }
  if (static_cast<int64_t>(image.size) != check.imageBytes) {
    *why = path + ": the file changed while it was read";
    return false;
  }
  const region::MappedRegion region{image.bytes.get(), image.size};
  region::RegionTables bound;
  if (region::RegionTables::Bind(region, &bound) != CACHE_OK) return true;
  for (int32_t i = 0; i < bound.roleScanLimit(); ++i) {
    if (bound.role(i)->inUse == 1) tables->roles.push_back(*bound.role(i));
  }
  for (int32_t j = 0; j < bound.userScanLimit(); ++j) {
    if (bound.user(j)->inUse == 1) tables->users.push_back(*bound.user(j));
  }
  tables->findings = region::CheckRegion(region, /*repair=*/false);
  return true;
}

bool WriteFileWhole(const std::string& path, const std::string& text, std::string* why) {
  const platform::Status status = region::ReplaceFileFrom(
      FolderOfPath(path), path, platform::ObjectAccess{},
      [&text](platform::FileHandle file, const std::string& temporary) {
        return platform::WriteToFile(file, text.data(), text.size(), temporary);
      });
  if (status.ok()) return true;
  *why = FailureText(status);
  return false;
}

bool FolderWritable(const std::string& folder, std::string* why) {
  std::string path;
  platform::FileHandle file = platform::kNoFile;
  const platform::Status made = region::CreateTemporaryFile(
      folder + platform::kPathSeparator, platform::ObjectAccess{}, &path, &file);
  if (!made.ok()) {
    *why = FailureText(made);
    return false;
  }
  static_cast<void>(platform::CloseFile(file, path));
  static_cast<void>(platform::RemoveFile(path));
  return true;
}

}  // namespace tq5::admin
