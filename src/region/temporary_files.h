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

// Replaces the file `path` with what `fill(file, temporaryPath)` writes, whole or not at
// all: a temporary file in `folder` (ends with the path separator, and is `path`'s own),
// made by CreateTemporaryFile, filled, synced, closed and moved over `path`. The first
// failure is the answer; the temporary file is then removed, and a removal that fails too
// leaves a file that the next writer of another process removes.
template <typename Fill>
platform::Status ReplaceFileFrom(const std::string& folder, const std::string& path,
                                 const platform::ObjectAccess& access, Fill&& fill) {
  std::string temporary;
  platform::FileHandle file = platform::kNoFile;
  platform::Status status = CreateTemporaryFile(folder, access, &temporary, &file);
  if (!status.ok()) return status;
  status = fill(file, temporary);
  // Only a complete file on the disk may take the name.
  if (status.ok()) status = platform::SyncFile(file, temporary);
  const platform::Status closed = platform::CloseFile(file, temporary);
  if (status.ok()) status = closed;
  if (status.ok()) status = platform::MoveFileOver(temporary, path);
  if (!status.ok()) static_cast<void>(platform::RemoveFile(temporary));
  return status;
}

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
