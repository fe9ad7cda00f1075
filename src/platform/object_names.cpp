#include <string>

#include "platform/platform.h"

namespace tq5::platform {

std::string ObjectName(const char* baseName) {
  std::string name = kObjectNamespace;
  // The prefix exists so that tests running side by side never meet in the same
  // objects; unset or empty, the names are exactly the system's own.
  if (const char* prefix = zv_getenv("TQ5ORVCACHE_OBJECT_PREFIX"); prefix && *prefix) {
    name += prefix;
  }
  name += baseName;
  return name;
}

}  // namespace tq5::platform
