// `orvcache timeout`: the registry value that limits each fetch from the directory, read
// and written the way the library reads it: the group's key named by ZOLMAR_VERSION and
// MERLOC_GROUP_NAME (on POSIX by default the settings file's zolmar-version and
// group-name), the value ORV_USER_ROLES_TIMEOUT in milliseconds.
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "output.h"
#include "settings_report.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

using tq5::admin::KeyState;

const char* const kValueName = tq5::admin::kFetchLimitValue;
const uint32_t kDefaultMs = tq5::admin::kDefaultFetchLimitMs;

// The group's key, or a Failure with the library's code for a missing variable.
std::string GroupKey() {
  std::string key;
  const ResultCode rc = tq5::admin::FetchLimitKey(&key);
  if (rc != CACHE_OK) throw Failure(rc, "finding the group's key");
  return key;
}

// Where the key's version and group came from, for an admin who must create the key or
// name another one.
std::string KeyNamedBy() {
  const SettingReport version = ReportSetting(tq5::admin::kVersionSetting);
  const SettingReport group = ReportSetting(tq5::admin::kGroupNameSetting);
  return "the version " + version.value + " comes from " + version.origin + ", the group " +
         group.value + " from " + group.origin + ": create the key, or name the machine's group";
}

// The failure for a key that did not open as it should.
Failure KeyFailure(KeyState opened, const std::string& key, bool write) {
  const std::string why = opened == KeyState::NotFound ? " (it does not exist; " + KeyNamedBy() + ")"
                          : opened == KeyState::AccessDenied ? " (this account may not)"
                                                             : "";
  return Failure(CACHE_E_GROUP_KEY_OPEN,
                 "opening " + tq5::admin::KeyPlace(key) + (write ? " for writing" : "") + why);
}

}  // namespace

SettingReport ReportFetchLimit() {
  SettingReport report;
  report.source = "default";
  report.value = std::to_string(kDefaultMs);
  std::string key;
  if (tq5::admin::FetchLimitKey(&key) != CACHE_OK) {
    report.origin = "no group's key to read it from (the group or the version is not set)";
    return report;
  }
  const std::string where = tq5::admin::FetchLimitPlace(key);
  KeyState status = KeyState::Failed;
  uint32_t value = 0;
  if (tq5::admin::ReadFetchLimit(key, &status, &value) != KeyState::Ok) {
    report.origin = tq5::admin::KeyPlace(key) + " cannot be opened";
    return report;
  }
  if (status == KeyState::Ok && value != 0) {
    report.source = "registry";
    report.value = std::to_string(value);
    report.origin = where;
  } else {
    report.origin = where + (status == KeyState::Ok         ? " holds 0"
                             : status == KeyState::NotFound ? " is not set"
                                                            : " cannot be read");
  }
  return report;
}

int RunTimeout(const Args& args, bool json) {
  const std::string key = GroupKey();
  const std::string where = tq5::admin::FetchLimitPlace(key);
  const bool set = !args.positional().empty();
  if (set) {
    const auto ms = static_cast<uint32_t>(
        ParseInteger(args.positional()[0], 0, UINT32_MAX, "the time limit in milliseconds"));
    bool written = false;
    const KeyState opened = tq5::admin::WriteFetchLimit(key, ms, &written);
    if (opened != KeyState::Ok) throw KeyFailure(opened, key, true);
    if (!written) throw Failure(CACHE_E_TIMEOUT_KEY_CREATE, "writing " + where);
  }

  // Read without creating: a missing value is a state worth showing, and the library
  // creates it itself on its first fetch.
  KeyState status = KeyState::Failed;
  uint32_t value = 0;
  const KeyState opened = tq5::admin::ReadFetchLimit(key, &status, &value);
  if (opened != KeyState::Ok) throw KeyFailure(opened, key, false);
  if (status != KeyState::Ok && status != KeyState::NotFound) {
    throw Failure(CACHE_E_TIMEOUT_KEY_OPEN, "reading " + where);
  }
  const bool present = status == KeyState::Ok;
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
