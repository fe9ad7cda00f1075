#include "access_report.h"

#include <cstdio>

#include "tq5orvcache_admin.h"

namespace orvcache {

namespace {

using tq5::admin::CacheObject;

struct NamedObject {
  const char* label;
  CacheObject object;
};
const NamedObject kObjects[] = {{"mutex", CacheObject::Mutex}, {"region", CacheObject::Region}};

std::string PermissionsText(const tq5::admin::ObjectPermissions& p) {
  if (!p.exists) return "absent";
  if (!p.readable) return "exists (its permissions are not readable by this account)";
  return p.permissions;
}

}  // namespace

std::string AccessSettingText() {
  const std::string value = tq5::admin::ReadSetting(tq5::admin::kAccessSetting).value;
  return value.empty() || tq5::admin::LowerAscii(value) == tq5::admin::kAccessEveryone
             ? tq5::admin::kAccessEveryone
             : value;
}

std::string AccessDeniedMessage(ResultCode code) {
  if (code != CACHE_E_MUTEX_OPEN && code != CACHE_E_OPEN_MAPPING) return "";
  const CacheObject object = code == CACHE_E_MUTEX_OPEN ? CacheObject::Mutex : CacheObject::Region;
  std::string group;
  if (!tq5::admin::ObjectAccessDenied(object, &group)) return "";
  return "permission denied: only members of " + (group.empty() ? "the cache's group" : group) +
         " may use the cache";
}

void PrintObjectAccess() {
  // The setting as it is now; the objects show what their server applied at its start.
  std::printf("access setting   %s\n", AccessSettingText().c_str());
  for (const NamedObject& object : kObjects) {
    std::printf("%-16s %s\n", (std::string(object.label) + " object").c_str(),
                PermissionsText(tq5::admin::DescribeObject(object.object)).c_str());
  }
}

Json ObjectAccessJson() {
  Json objects = Json::object();
  for (const NamedObject& object : kObjects) {
    const tq5::admin::ObjectPermissions p = tq5::admin::DescribeObject(object.object);
    objects[object.label] = {{"exists", p.exists},
                             {"owner", p.readable ? Json(p.owner) : Json(nullptr)},
                             {"permissions", p.readable ? Json(p.permissions) : Json(nullptr)}};
  }
  return {{"setting", AccessSettingText()}, {"objects", objects}};
}

}  // namespace orvcache
