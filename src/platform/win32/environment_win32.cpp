#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

// "Global\" puts kernel object names in the machine-wide namespace, so that a server
// running as a service and clients in user sessions find the same objects.
extern const char* const kObjectNamespace;
const char* const kObjectNamespace = "Global\\";

const char kPathSeparator = '\\';

// The C runtime's copy of the environment, which is also what _putenv changes.
const char* zv_getenv(const char* name) { return std::getenv(name); }

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessExists(unsigned long processId) {
  if (processId == 0) return false;
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
  // Access denied: it runs, under an account this one may not look into.
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  // A process that cannot be asked is taken to run.
  const bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

}  // namespace tq5::platform
