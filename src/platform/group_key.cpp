#include <string>

#include "platform/platform.h"
#include "platform/registry.h"

namespace tq5::platform {

namespace {
constexpr std::size_t kMaxKeyText = 255;
}  // namespace

ResultCode GroupKeyPath(std::string* out) {
  const char* group = zv_getenv("MERLOC_GROUP_NAME");
  const char* version = zv_getenv("ZOLMAR_VERSION");
  if (!group || !version) return CACHE_E_NO_GROUP_ENV;
  const std::string groupName = group, versionName = version;
  std::string path = "SOFTWARE\\Brintel\\Zolmar\\" + versionName + "\\" + groupName;
  if (groupName.size() > kMaxKeyText || versionName.size() > kMaxKeyText ||
      path.size() > kMaxKeyText) {
    return CACHE_E_GROUP_KEY_OPEN;
  }
  *out = std::move(path);
  return CACHE_OK;
}

}  // namespace tq5::platform
