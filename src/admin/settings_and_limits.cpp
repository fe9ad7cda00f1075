// The admin interface's settings, the directory file's role list and the fetch limit in
// the group's key: the core's readers, in the interface's types.
#include <string>
#include <vector>

#include "directory/fetch_timeout.h"
#include "platform/directory_file.h"
#include "platform/object_access.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "region/user_index.h"
#include "tq5orvcache_admin.h"

namespace tq5::admin {

const char* const kCacheFolderSetting = platform::kCacheFolderSetting;
const char* const kGroupNameSetting = platform::kGroupNameSetting;
const char* const kVersionSetting = platform::kVersionSetting;
const char* const kAccessSetting = platform::kAccessSetting;
const char* const kAccessEveryone = platform::kAccessEveryone;
const char* const kNegativeCacheSetting = region::kNegativeCacheSetting;
const uint32_t kMaxNegativeSeconds = region::kMaxNegativeSeconds;
const char* const kFetchLimitValue = directory::kUserRolesTimeoutValue;
const uint32_t kDefaultFetchLimitMs = directory::kDefaultUserRolesTimeoutMs;

namespace {

KeyState StateOf(platform::RegistryStatus status) {
  switch (status) {
    case platform::RegistryStatus::Ok:
      return KeyState::Ok;
    case platform::RegistryStatus::NotFound:
      return KeyState::NotFound;
    case platform::RegistryStatus::AccessDenied:
      return KeyState::AccessDenied;
    case platform::RegistryStatus::MoreData:
    case platform::RegistryStatus::Failed:
      break;
  }
  return KeyState::Failed;
}

}  // namespace

Setting ReadSetting(const char* name) {
  const platform::Setting setting = platform::ReadSetting(name);
  const SettingSource source = setting.source == platform::SettingSource::Environment
                                   ? SettingSource::Environment
                               : setting.source == platform::SettingSource::Machine
                                   ? SettingSource::Machine
                                   : SettingSource::Default;
  return Setting{setting.value, source};
}

bool ReadMachineSetting(const char* name, std::string* value) {
  return platform::ReadMachineSetting(name, value);
}

const std::vector<std::string>& KnownSettingNames() { return platform::KnownSettingNames(); }
std::string SettingVariable(const char* name) { return platform::SettingVariable(name); }
std::string SettingsLocation() { return platform::SettingsLocation(); }
const char* MachineStoreKind() { return platform::MachineStoreKind(); }
std::string MachineSettingPlace(const char* name) { return platform::MachineSettingPlace(name); }
std::string UnsetSettingText(const char* name) { return platform::UnsetSettingText(name); }
std::string SettingHint(const char* name) { return platform::SettingHint(name); }
std::vector<std::string> MachineStoreProblems() { return platform::MachineStoreProblems(); }
std::string SettingsFileProblem() { return platform::SettingsFileProblem(); }
const char* ProcessVariable(const char* name) { return platform::zv_getenv(name); }

bool AccessSettingResolves(std::string* why) {
  platform::ObjectAccess resolved;
  return platform::ResolveObjectAccess(&resolved, why);
}

std::string TakeAccessProblem() { return platform::TakeAccessProblem(); }

bool NegativeCacheValueValid(const std::string& value) {
  return region::NegativeCacheValueValid(value);
}

bool ReadDirectoryRoles(const std::string& path, std::vector<DirectoryRole>* roles,
                        std::string* error) {
  platform::DirectoryFile file;
  if (!file.Load(path, error)) return false;
  roles->clear();
  for (const platform::DirectoryRole& role : file.AllRoles()) {
    roles->push_back(DirectoryRole{role.name, role.id});
  }
  return true;
}

ResultCode FetchLimitKey(std::string* key) { return platform::GroupKeyPath(key); }

std::string KeyPlace(const std::string& key) {
  return std::string("the ") + platform::kMachineKeyKind + " " + platform::MachineKeyPath(key);
}

std::string FetchLimitPlace(const std::string& key) {
  return platform::MachineKeyPath(key) + platform::kMachineKeySeparator + kFetchLimitValue;
}

KeyState ReadFetchLimit(const std::string& key, KeyState* valueState, uint32_t* ms) {
  *ms = 0;
  platform::RegistryKey* open = nullptr;
  const KeyState opened = StateOf(platform::OpenMachineKey(key, false, &open));
  if (opened != KeyState::Ok) return opened;
  // A DWORD, little-endian, as the library writes it on every platform.
  unsigned char data[4] = {0, 0, 0, 0};
  uint32_t size = sizeof data;
  *valueState = StateOf(platform::QueryValue(open, kFetchLimitValue, data, &size));
  platform::CloseKey(open);
  *ms = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
        static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  return opened;
}

KeyState WriteFetchLimit(const std::string& key, uint32_t ms, bool* written) {
  *written = false;
  platform::RegistryKey* open = nullptr;
  const KeyState opened = StateOf(platform::OpenMachineKey(key, true, &open));
  if (opened != KeyState::Ok) return opened;
  *written = platform::SetDwordValue(open, kFetchLimitValue, ms) == platform::RegistryStatus::Ok;
  platform::CloseKey(open);
  return opened;
}

uint32_t SettleFetchTimeout(int32_t callerTimeoutMs) {
  return directory::SettleFetchTimeout(callerTimeoutMs);
}

}  // namespace tq5::admin
