// Environment and process identity on POSIX.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/platform.h"
#include "platform/settings.h"

namespace tq5::platform {

const char* const kObjectNamespace = "/";
const char kPathSeparator = '/';

// The process's environment first, so that a variable that is set wins for its process;
// where it lacks one of the variables that name the machine's cache folder, group and
// version, the machine's value from the settings file, so that the server, an admin's
// shell and every client agree without each being given the same environment.
const char* zv_getenv(const char* name) {
  if (const char* value = std::getenv(name)) return value;
  return MachineValueOfVariable(name);
}

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
