#include "platform/settings.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace tq5::platform {

namespace {

// The settings that the machine's historian variables stand for.
struct VariableSetting {
  const char* name;
  const char* variable;
};
constexpr VariableSetting kVariableSettings[] = {
    {kCacheFolderSetting, "MERLOC_GROUP_FOLDER_NAME"},
    {kGroupNameSetting, "MERLOC_GROUP_NAME"},
    {kVersionSetting, "ZOLMAR_VERSION"},
};

}  // namespace

const std::vector<std::string>& KnownSettingNames() {
  static const std::vector<std::string>& names = *new std::vector<std::string>{
      kCacheFolderSetting,  kGroupNameSetting,     kVersionSetting,         "directory", "access",
      "fetch-outside-lock", "shared-cache-folder", "negative-cache-seconds"};
  return names;
}

bool IsVariableSetting(const char* name) {
  for (const VariableSetting& known : kVariableSettings) {
    if (std::strcmp(known.name, name) == 0) return true;
  }
  return false;
}

std::string SettingVariable(const char* name) {
  for (const VariableSetting& known : kVariableSettings) {
    if (std::strcmp(known.name, name) == 0) return known.variable;
  }
  std::string variable = "TQ5ORVCACHE_";
  for (const char* c = name; *c; ++c) {
    variable += *c == '-' ? '_' : UpperAscii(*c);
  }
  return variable;
}

Setting ReadSetting(const char* name) {
  Setting setting;
  // The process's own environment, not zv_getenv: that one already falls back on the
  // machine's store, and this tells the two apart.
  if (const char* value = std::getenv(SettingVariable(name).c_str())) {
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
  // The process's own environment: zv_getenv would fall back on the machine's store.
  if (const char* value = std::getenv(cached.variable.c_str())) return IsOn(value);
  const auto now = std::chrono::steady_clock::now();
  if (!cached.read || now - cached.readAt >= kMachineSettingAge) {
    std::string value;
    cached.on = ReadMachineSetting(name, &value) && IsOn(value);
    cached.read = true;
    cached.readAt = now;
  }
  return cached.on;
}

const char* MachineValueOfVariable(const char* variable) {
  const char* name = nullptr;
  for (const VariableSetting& known : kVariableSettings) {
    if (std::strcmp(known.variable, variable) == 0) name = known.name;
  }
  if (!name) return nullptr;
  struct Cached {
    const char* value;
    std::chrono::steady_clock::time_point readAt;
  };
  static std::mutex lock;
  static std::map<std::string, Cached>& cache = *new std::map<std::string, Cached>;
  // Every value handed out stays: a caller may still be reading an older one. They are
  // as many as the values an administrator has given the setting while the process ran.
  static std::set<std::string>& kept = *new std::set<std::string>;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> guard(lock);
  auto it = cache.find(name);
  if (it == cache.end() || now - it->second.readAt >= kMachineSettingAge) {
    std::string value;
    const char* text = nullptr;
    if (ReadMachineSetting(name, &value) && !value.empty()) {
      text = kept.insert(value).first->c_str();
    }
    it = cache.insert_or_assign(name, Cached{text, now}).first;
  }
  return it->second.value;
}

}  // namespace tq5::platform
