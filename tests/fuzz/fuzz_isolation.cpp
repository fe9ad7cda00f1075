#include "fuzz_isolation.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/platform.h"

namespace tq5fuzz {
namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

void CleanUp() {
  // The library never removes the mutex's name (two generations must never coexist),
  // and a section (with its statistics and index) left by an input that ended early would
  // outlive the run too.
  shm_unlink(tq5::platform::ObjectName(tq5::platform::kSectionName).c_str());
  shm_unlink(tq5::platform::ObjectName(tq5::platform::kStatisticsName).c_str());
  shm_unlink(tq5::platform::ObjectName(tq5::platform::kIndexName).c_str());
  shm_unlink(tq5::platform::ObjectName(tq5::platform::kCacheMutexName).c_str());
  std::error_code error;
  std::filesystem::remove_all(Folder(), error);
}

}  // namespace

std::string IsolateProcess() {
  const std::string tag = "tq5fz" + std::to_string(getpid());
  setenv("TQ5ORVCACHE_OBJECT_PREFIX", (tag + "_").c_str(), 1);
  Folder() = (std::filesystem::temp_directory_path() / tag).string();
  std::filesystem::create_directories(Folder());
  setenv("MERLOC_GROUP_FOLDER_NAME", Folder().c_str(), 1);
  std::atexit(CleanUp);
  return Folder();
}

}  // namespace tq5fuzz
