// The cache file's writers put each new image in a temporary file beside it,
// "TQ5<process id, 8 hex digits><4 random characters>.tmp", created new (never a name or
// a link that is there already), and rename it over the cache file once it is complete.
// A writer that dies in between leaves its file behind; the next writer removes it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tq5::region {

// "TQ5XXXXXXXXRRRR.tmp": at most four characters longer than the cache file's own name,
// so that the temporary file's path fits the 259 characters of a Windows path whenever
// the cache file's fits its 255.
inline constexpr std::size_t kTemporaryNameLength = 19;

// Creates a temporary file of this process's writers in `folder` (which ends with the
// path separator), under a name no one can have taken first: one with a random part,
// chosen again when the name is taken. *path and *file receive it; the creation's
// failure (CACHE_E_FILE_CREATE) otherwise.
platform::Status CreateTemporaryFile(const std::string& folder,
                                     const platform::ObjectAccess& access, std::string* path,
                                     platform::FileHandle* file);

// Whether `name` is named as a writer names its temporary file (this version's names and
// those of earlier versions, "TQ5<8 hex digits>.tmp").
bool IsTemporaryFileName(const std::string& name);

// What a clean-up of temporary files did, by file name: removed, or named as a writer
// names its file but left (its writer runs, it is no file, or it could not be removed).
struct TemporaryFileSweep {
  std::vector<std::string> removed;
  std::vector<std::string> stayed;
};

// Removes from `folder` the temporary files of writers that no longer run. A file of a
// running process stays, and so does anything not named exactly as a writer names its
// file. Failures are ignored: a file that stays is only tried again next time. *sweep,
// when given, receives what became of each writer's file.
void RemoveTemporaryFilesOfDeadWriters(const std::string& folder,
                                       TemporaryFileSweep* sweep = nullptr);

}  // namespace tq5::region
