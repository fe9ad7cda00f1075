#include "platform/directory_file_versions.h"

#include <utility>

namespace tq5::platform {

std::shared_ptr<const DirectoryFile> DirectoryFileVersions::Current(const std::string& path,
                                                                    std::string* error) {
  // Held through the parse, so that callers that meet a new version parse it once
  // between them rather than once each.
  std::lock_guard<std::mutex> lock(mutex_);
  const FileVersion* known = kept_ && path_ == path ? &version_ : nullptr;
  FileVersion version;
  std::string text;
  const FileRead read = ReadFileIfChanged(path, known, &version, &text, error);
  if (read == FileRead::Unchanged) {
    if (!file_ && error) *error = parseError_;
    return file_;
  }
  kept_ = false;
  file_.reset();
  if (read == FileRead::Failed) return nullptr;
  auto file = std::make_shared<DirectoryFile>();
  std::string parseError;
  const bool parsed = file->Parse(std::move(text), &parseError);
  if (!parsed && error) *error = parseError;
  path_ = path;
  version_ = version;
  parseError_ = std::move(parseError);
  if (parsed) file_ = std::move(file);
  kept_ = true;
  return file_;
}

DirectoryFileVersions& ProcessDirectoryFileVersions() {
  static DirectoryFileVersions* const versions = new DirectoryFileVersions;
  return *versions;
}

}  // namespace tq5::platform
