#include "platform/settings.h"

#include <cctype>
#include <chrono>
#include <map>
#include <mutex>

#include "platform/platform.h"

namespace tq5::platform {

std::string SettingVariable(const char* name) {
  std::string variable = "TQ5ORVCACHE_";
  for (const char* c = name; *c; ++c) {
    variable += *c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  }
  return variable;
}

Setting ReadSetting(const char* name) {
  Setting setting;
  if (const char* value = zv_getenv(SettingVariable(name).c_str())) {
    setting.value = value;
    setting.source = SettingSource::Environment;
  } else if (ReadMachineSetting(name, &setting.value)) {
    setting.source = SettingSource::Machine;
  }
  return setting;
}

namespace {

bool IsOn(std::string value) {
  for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return value == "yes" || value == "true" || value == "on" || value == "1";
}

constexpr auto kMachineSettingAge = std::chrono::seconds(5);

}  // namespace

bool CachedSettingIsOn(const char* name) {
  if (const char* value = zv_getenv(SettingVariable(name).c_str())) return IsOn(value);
  struct Cached {
    bool on;
    std::chrono::steady_clock::time_point readAt;
  };
  static std::mutex lock;
  static std::map<std::string, Cached>& cache = *new std::map<std::string, Cached>;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(name);
  if (it == cache.end() || now - it->second.readAt >= kMachineSettingAge) {
    std::string value;
    const bool on = ReadMachineSetting(name, &value) && IsOn(value);
    it = cache.insert_or_assign(name, Cached{on, now}).first;
  }
  return it->second.on;
}

}  // namespace tq5::platform
