// Telling one version of a file from another without reading it, and reading the file
// only when its version is not the one already known.
#pragma once

#include <cstdint>
#include <string>

namespace tq5::platform {

// Which file (its device or volume and its number there), its size, and when it was last
// modified and last changed, in the platform's own units.
struct FileVersion {
  uint64_t device = 0;
  uint64_t file = 0;
  uint64_t size = 0;
  int64_t modified = 0;
  int64_t changed = 0;
  // Whether every later change of the file is bound to give it another version. A file
  // changed within the file system's time granularity of the moment it was examined is
  // not: a second change in the same tick could leave size and times as they are.
  bool settled = false;

  bool SameAs(const FileVersion& other) const {
    return device == other.device && file == other.file && size == other.size &&
           modified == other.modified && changed == other.changed;
  }
};

enum class FileRead {
  Unchanged,  // the file is still at the settled version `known`; nothing was read
  Read,       // the file's version and its whole content
  Failed      // it cannot be opened, examined or read
};

// Opens the file at `path` and takes its version. Stops there when `known` is settled
// and still the file's version; otherwise reads the whole file into *text through the
// same handle, so that the content is at least as new as *version. On failure *error
// (when given) names the call, the path and the system's reason.
FileRead ReadFileIfChanged(const std::string& path, const FileVersion* known, FileVersion* version,
                           std::string* text, std::string* error);

}  // namespace tq5::platform
