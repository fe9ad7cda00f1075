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

}  // namespace tq5::platform
