// The directory file as it is now, parsed once per version of the file: while the file
// stays as it is, a fetch costs one open and one look at its version, and every caller
// shares the same parsed file and its index.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/directory_file.h"
#include "platform/file_version.h"

namespace tq5::platform {

class DirectoryFileVersions {
 public:
  // The parsed file at `path` as it is now; null when it cannot be read or a line is out
  // of format (*error, when given, says which). A file replaced, rewritten or touched
  // since the last call is read and parsed again. Safe from several threads at once;
  // what it hands out is never changed afterwards.
  std::shared_ptr<const DirectoryFile> Current(const std::string& path,
                                               std::string* error = nullptr);

 private:
  std::mutex mutex_;
  // The last version read, and what it parsed to. Guarded by mutex_.
  bool kept_ = false;
  std::string path_;
  FileVersion version_;
  std::shared_ptr<const DirectoryFile> file_;  // null: that version is out of format
  std::string parseError_;
};

// The process's one instance. It is never destroyed: a fetch worker that outlived its
// fetch may still be inside a call while the process ends.
DirectoryFileVersions& ProcessDirectoryFileVersions();

}  // namespace tq5::platform
