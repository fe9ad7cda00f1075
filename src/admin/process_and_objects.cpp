// The admin interface's process set-up, text helpers and the machine's objects: each a
// thin translation of the core's own routine into the interface's types.
#include <string>

#include "exports/load_hook.h"
#include "platform/ascii.h"
#include "platform/edit_distance.h"
#include "platform/object_access.h"
#include "platform/platform.h"
#include "platform/status.h"
#include "platform/utf8_text.h"
#include "tq5orvcache_admin.h"

namespace tq5::admin {

namespace {

const char* BaseName(CacheObject object) {
  switch (object) {
    case CacheObject::Mutex:
      return platform::kCacheMutexName;
    case CacheObject::Region:
      return platform::kSectionName;
    case CacheObject::Statistics:
      return platform::SideObjectBaseName(platform::SideObjectKind::Statistics);
    case CacheObject::Index:
      break;
  }
  return platform::SideObjectBaseName(platform::SideObjectKind::Index);
}

}  // namespace

bool AttachProcess() { return exports::OnProcessAttach(); }

SystemFailure LatestFailure() { return platform::LastFailure(); }

std::string SystemErrorText(long error) { return platform::SystemErrorText(error); }

std::string LowerAscii(std::string_view text) { return platform::LowerAsciiText(text); }

std::size_t EditDistance(std::string_view a, std::string_view b) {
  return platform::EditDistance(std::string(a), std::string(b));
}

char32_t NextCodePoint(std::string_view text, std::size_t* at) {
  return platform::NextCodePoint(text, at);
}

std::string ObjectName(CacheObject object) { return platform::ObjectName(BaseName(object)); }

std::string ObjectFileName(CacheObject object) {
  std::string name = ObjectName(object);
  const std::string space = platform::kObjectNamespace;
  if (name.compare(0, space.size(), space) == 0) name.erase(0, space.size());
  return name;
}

ObjectPermissions DescribeObject(CacheObject object) {
  return platform::DescribeObject(BaseName(object));
}

bool ObjectAccessDenied(CacheObject object, std::string* group) {
  return platform::ObjectAccessDenied(BaseName(object), group);
}

unsigned long RegionServerProcessId() { return platform::RegionServerProcessId(); }

bool RegionOpens() {
  platform::RegionView* view = nullptr;
  void* base = nullptr;
  std::size_t size = 0;
  if (!platform::AcquireRegionView(&view, &base, &size).ok()) return false;
  platform::ReleaseRegionView(view);
  return true;
}

}  // namespace tq5::admin
