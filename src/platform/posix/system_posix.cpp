// Environment and process identity on POSIX.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/platform.h"

namespace tq5::platform {

const char* const kObjectNamespace = "/";
const char kPathSeparator = '/';

const char* zv_getenv(const char* name) { return std::getenv(name); }

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

bool ProcessExists(unsigned long processId) {
  // kill() reads 0 as this process group and a negative number as another group (-1:
  // every process); no such number names one writer.
  if (processId == 0 || processId > static_cast<unsigned long>(std::numeric_limits<pid_t>::max())) {
    return false;
  }
  // EPERM: it runs, under another user.
  return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

}  // namespace tq5::platform
