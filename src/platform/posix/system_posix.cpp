// Environment, process identity and durable file replacement on POSIX.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace tq5::platform {

const char* const kObjectNamespace = "/";
const char kPathSeparator = '/';

const char* zv_getenv(const char* name) { return std::getenv(name); }

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

bool SyncFile(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool MoveFileOver(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return false;
  // The rename is durable only once the folder that holds both names is on disk.
  const std::string::size_type slash = to.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // renamed; the folder just cannot be synced from here
  fsync(fd);
  close(fd);
  return true;
}

}  // namespace tq5::platform
