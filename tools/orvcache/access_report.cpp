#include "access_report.h"

#include <cstdio>

#include "platform/ascii.h"
#include "platform/object_access.h"
#include "platform/platform.h"
#include "platform/settings.h"

namespace orvcache {

namespace {

struct NamedObject {
  const char* label;
  const char* baseName;
};
const NamedObject kObjects[] = {{"mutex", tq5::platform::kCacheMutexName},
                                {"region", tq5::platform::kSectionName}};

std::string PermissionsText(const tq5::platform::ObjectPermissions& p) {
  if (!p.exists) return "absent";
  if (!p.readable) return "exists (its permissions are not readable by this account)";
  return p.permissions;
}

}  // namespace

std::string AccessSettingText() {
  const std::string value = tq5::platform::ReadSetting(tq5::platform::kAccessSetting).value;
  return value.empty() || tq5::platform::LowerAsciiText(value) == tq5::platform::kAccessEveryone
             ? tq5::platform::kAccessEveryone
             : value;
}

std::string AccessDeniedMessage(ResultCode code) {
  const char* object = code == CACHE_E_MUTEX_OPEN     ? tq5::platform::kCacheMutexName
                       : code == CACHE_E_OPEN_MAPPING ? tq5::platform::kSectionName
                                                      : nullptr;
  std::string group;
  if (!object || !tq5::platform::ObjectAccessDenied(object, &group)) return "";
  return "permission denied: only members of " + (group.empty() ? "the cache's group" : group) +
         " may use the cache";
}

void PrintObjectAccess() {
  // The setting as it is now; the objects show what their server applied at its start.
  std::printf("access setting   %s\n", AccessSettingText().c_str());
  for (const NamedObject& object : kObjects) {
    std::printf("%-16s %s\n", (std::string(object.label) + " object").c_str(),
                PermissionsText(tq5::platform::DescribeObject(object.baseName)).c_str());
  }
}

Json ObjectAccessJson() {
  Json objects = Json::object();
  for (const NamedObject& object : kObjects) {
    const tq5::platform::ObjectPermissions p = tq5::platform::DescribeObject(object.baseName);
    objects[object.label] = {{"exists", p.exists},
                             {"owner", p.readable ? Json(p.owner) : Json(nullptr)},
                             {"permissions", p.readable ? Json(p.permissions) : Json(nullptr)}};
  }
  return {{"setting", AccessSettingText()}, {"objects", objects}};
}

}  // namespace orvcache
