#include "platform/settings.h"

#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/ascii.h"
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

bool IsOn(std::string_view value) {
  for (const char* yes : {"yes", "true", "on", "1"}) {
    if (EqualIgnoringAsciiCase(value, yes)) return true;
  }
  return false;
}

constexpr auto kMachineSettingAge = std::chrono::seconds(5);

}  // namespace

bool CachedSettingIsOn(const char* name) {
  // Asked on every lookup, hits included: after a setting's first use this builds no
  // text and allocates nothing.
  struct Cached {
    std::string variable;  // the environment variable that overrides it
    bool on = false;
    bool read = false;
    std::chrono::steady_clock::time_point readAt;
  };
  static std::mutex lock;
  static std::map<std::string, Cached, std::less<>>& cache =
      *new std::map<std::string, Cached, std::less<>>;
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(std::string_view(name));
  if (it == cache.end()) {
    Cached fresh;
    fresh.variable = SettingVariable(name);
    it = cache.emplace(name, std::move(fresh)).first;
  }
  Cached& cached = it->second;
  if (const char* value = zv_getenv(cached.variable.c_str())) return IsOn(value);
  const auto now = std::chrono::steady_clock::now();
  if (!cached.read || now - cached.readAt >= kMachineSettingAge) {
    std::string value;
    cached.on = ReadMachineSetting(name, &value) && IsOn(value);
    cached.read = true;
    cached.readAt = now;
  }
  return cached.on;
}

}  // namespace tq5::platform
