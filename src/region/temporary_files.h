// The cache file's writers put each new image in a temporary file beside it,
// "TQ5<process id, 8 hex digits>.tmp", and rename it over the cache file once it is
// complete. A writer that dies in between leaves its file behind; the next writer
// removes it.
#pragma once

#include <cstddef>
#include <string>

namespace tq5::region {

// "TQ5XXXXXXXX.tmp": as long as the cache file's own name, so that a path that is legal
// for the cache file is legal for its temporary file too.
inline constexpr std::size_t kTemporaryNameLength = 15;

// The temporary file of this process's writers, in `folder` (which ends with the path
// separator).
std::string TemporaryFileOfThisProcess(const std::string& folder);

// Removes from `folder` the temporary files of writers that no longer run. A file of a
// running process stays, and so does anything not named exactly as a writer names its
// file. Failures are ignored: a file that stays is only tried again next time.
void RemoveTemporaryFilesOfDeadWriters(const std::string& folder);

}  // namespace tq5::region
