// `orvcache timeout`: the registry value that limits each fetch from the directory, read
// and written the way the library reads it: the group's key named by ZOLMAR_VERSION and
// MERLOC_GROUP_NAME (on POSIX by default the settings file's zolmar-version and
// group-name), the value ORV_USER_ROLES_TIMEOUT in milliseconds.
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "directory/fetch_timeout.h"
#include "output.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "settings_report.h"

namespace orvcache {
namespace {

using tq5::platform::RegistryKey;
using tq5::platform::RegistryStatus;

constexpr const char* kValueName = tq5::directory::kUserRolesTimeoutValue;
constexpr uint32_t kDefaultMs = tq5::directory::kDefaultUserRolesTimeoutMs;

// The group's key, or a Failure with the library's code for a missing variable.
std::string GroupKey() {
  std::string key;
  const ResultCode rc = tq5::platform::GroupKeyPath(&key);
  if (rc != CACHE_OK) throw Failure(rc, "finding the group's key");
  return key;
}

// "the folder /etc/tq5orvcache/registry/SOFTWARE/..." or "the key HKEY_LOCAL_MACHINE\...".
std::string KeyPlace(const std::string& key) {
  return std::string("the ") + tq5::platform::kMachineKeyKind + " " +
         tq5::platform::MachineKeyPath(key);
}

// Where the key's version and group came from, for an admin who must create the key or
// name another one.
std::string KeyNamedBy() {
  const SettingReport version = ReportSetting(tq5::platform::kVersionSetting);
  const SettingReport group = ReportSetting(tq5::platform::kGroupNameSetting);
  return "the version " + version.value + " comes from " + version.origin + ", the group " +
         group.value + " from " + group.origin + ": create the key, or name the machine's group";
}

class OpenKey {
 public:
  OpenKey(const std::string& name, bool write) {
    const RegistryStatus status = tq5::platform::OpenMachineKey(name, write, &key_);
    if (status != RegistryStatus::Ok) {
      const std::string why = status == RegistryStatus::NotFound
                                  ? " (it does not exist; " + KeyNamedBy() + ")"
                              : status == RegistryStatus::AccessDenied ? " (this account may not)"
                                                                       : "";
      throw Failure(CACHE_E_GROUP_KEY_OPEN,
                    "opening " + KeyPlace(name) + (write ? " for writing" : "") + why);
    }
  }
  ~OpenKey() { tq5::platform::CloseKey(key_); }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  RegistryKey* get() const { return key_; }

 private:
  RegistryKey* key_ = nullptr;
};

}  // namespace

SettingReport ReportFetchLimit() {
  SettingReport report;
  report.source = "default";
  report.value = std::to_string(kDefaultMs);
  std::string key;
  if (tq5::platform::GroupKeyPath(&key) != CACHE_OK) {
    report.origin = "no group's key to read it from (the group or the version is not set)";
    return report;
  }
  const std::string where =
      tq5::platform::MachineKeyPath(key) + tq5::platform::kMachineKeySeparator + kValueName;
  RegistryKey* open = nullptr;
  if (tq5::platform::OpenMachineKey(key, false, &open) != RegistryStatus::Ok) {
    report.origin = KeyPlace(key) + " cannot be opened";
    return report;
  }
  unsigned char data[4] = {0, 0, 0, 0};
  uint32_t size = sizeof data;
  const RegistryStatus status = tq5::platform::QueryValue(open, kValueName, data, &size);
  tq5::platform::CloseKey(open);
  const uint32_t value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                         static_cast<uint32_t>(data[2]) << 16 |
                         static_cast<uint32_t>(data[3]) << 24;
  if (status == RegistryStatus::Ok && value != 0) {
    report.source = "registry";
    report.value = std::to_string(value);
    report.origin = where;
  } else {
    report.origin = where + (status == RegistryStatus::Ok         ? " holds 0"
                             : status == RegistryStatus::NotFound ? " is not set"
                                                                  : " cannot be read");
  }
  return report;
}

int RunTimeout(const Args& args, bool json) {
  const std::string key = GroupKey();
  const std::string where =
      tq5::platform::MachineKeyPath(key) + tq5::platform::kMachineKeySeparator + kValueName;
  const bool set = !args.positional().empty();
  if (set) {
    const auto ms = static_cast<uint32_t>(
        ParseInteger(args.positional()[0], 0, UINT32_MAX, "the time limit in milliseconds"));
    OpenKey open(key, true);
    if (tq5::platform::SetDwordValue(open.get(), kValueName, ms) != RegistryStatus::Ok) {
      throw Failure(CACHE_E_TIMEOUT_KEY_CREATE, "writing " + where);
    }
  }

  // Read without creating: a missing value is a state worth showing, and the library
  // creates it itself on its first fetch.
  OpenKey open(key, false);
  unsigned char data[4] = {0, 0, 0, 0};
  uint32_t size = sizeof data;
  const RegistryStatus status = tq5::platform::QueryValue(open.get(), kValueName, data, &size);
  if (status != RegistryStatus::Ok && status != RegistryStatus::NotFound) {
    throw Failure(CACHE_E_TIMEOUT_KEY_OPEN, "reading " + where);
  }
  const bool present = status == RegistryStatus::Ok;
  const uint32_t value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                         static_cast<uint32_t>(data[2]) << 16 |
                         static_cast<uint32_t>(data[3]) << 24;
  const uint32_t effective = present && value != 0 ? value : kDefaultMs;

  if (json) {
    PrintJson({{"key", "HKEY_LOCAL_MACHINE\\" + key},
               {"location", where},
               {"value", kValueName},
               {"ms", present ? Json(value) : Json(nullptr)},
               {"effectiveMs", effective},
               {"changed", set}});
    return kExitOk;
  }
  std::printf("%s\n", where.c_str());
  if (!present) {
    std::printf("  not set: fetches wait up to %u ms (the library creates it with that value)\n",
                effective);
  } else if (value == 0) {
    std::printf("  0: fetches wait up to the default %u ms\n", effective);
  } else if (value >= 0x80000000u) {
    std::printf("  %u ms: fetches wait %s\n", value,
                value == 0xFFFFFFFFu ? "without limit" : "that long, reading the value every time");
  } else {
    std::printf("  %u ms%s\n", value, set ? " (set; processes started from now on use it)" : "");
  }
  return kExitOk;
}

}  // namespace orvcache
