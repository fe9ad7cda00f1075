#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tq5::platform {

namespace {

// The prefix exists so that tests running side by side never meet in the same objects;
// unset or empty, the names are exactly the system's own.
const char* Prefix() {
  const char* prefix = zv_getenv("TQ5ORVCACHE_OBJECT_PREFIX");
  return prefix ? prefix : "";
}

}  // namespace

std::string ObjectName(const char* baseName) {
  std::string name = kObjectNamespace;
  name += Prefix();
  name += baseName;
  return name;
}

bool IsObjectName(const std::string& name, const char* baseName) {
  const std::string_view parts[] = {kObjectNamespace, Prefix(), baseName};
  std::string_view rest = name;
  for (const std::string_view part : parts) {
    if (rest.substr(0, part.size()) != part) return false;
    rest.remove_prefix(part.size());
  }
  return rest.empty();
}

}  // namespace tq5::platform
