// RemoveLeftovers: the kernel objects (leftover_objects.h, per platform), then the
// temporary files of the cache file's writers that died, on every platform.
#include <filesystem>
#include <string>

#include "admin/leftover_objects.h"
#include "platform/platform.h"
#include "region/cache_file.h"
#include "region/temporary_files.h"
#include "tq5orvcache_admin.h"

namespace tq5::admin {

LeftoverReport RemoveLeftovers(bool withMutex) {
  LeftoverReport report;
  RemoveLeftoverObjects(withMutex, &report);

  std::string file, why;
  if (!region::CacheFilePath(&file, &why)) {
    report.notes.push_back("no temporary files looked for: " + why);
    return report;
  }
  const std::string folder =
      std::filesystem::path(file).parent_path().string() + platform::kPathSeparator;
  region::TemporaryFileSweep sweep;
  region::RemoveTemporaryFilesOfDeadWriters(folder, &sweep);
  for (const std::string& name : sweep.removed) report.removed.push_back("temporary file " + folder + name);
  for (const std::string& name : sweep.stayed) {
    report.notes.push_back("the temporary file " + folder + name +
                           " stays: its writer runs, or it is not a writer's file");
  }
  return report;
}

}  // namespace tq5::admin
