// Machine-wide settings: what every process of the library on one machine must see the
// same way, whoever started it. Each setting has a name such as "fetch-outside-lock".
//
// Where a value comes from, first match wins:
//  1. the environment variable TQ5ORVCACHE_ followed by the name in capitals with '_'
//     for '-' (TQ5ORVCACHE_FETCH_OUTSIDE_LOCK): an override for one process, meant for
//     tests;
//  2. the machine's store: on POSIX the settings file (docs/settings.md), on Windows the
//     value of that same TQ5ORVCACHE_... name under the group's registry key;
//  3. the setting's default.
#pragma once

#include <string>

namespace tq5::platform {

enum class SettingSource { Default, Environment, Machine };

struct Setting {
  std::string value;  // empty when unset
  SettingSource source = SettingSource::Default;
};

// The environment variable that overrides `name`.
std::string SettingVariable(const char* name);

// The value of `name`, and where it came from.
Setting ReadSetting(const char* name);

// Where the machine's settings live, for people: the settings file's path, or the
// registry key.
std::string SettingsLocation();

// A yes/no setting, for a caller that asks often: "yes", "true", "on" or "1" (any
// case) is yes; anything else, or no value at all, is no. The environment is read each
// time, the machine's store at most once every few seconds per process, so that a
// change to it reaches running processes within that time without a read on every call.
bool CachedSettingIsOn(const char* name);

// The machine's own value of `name` (step 2 above), or false when it has none.
bool ReadMachineSetting(const char* name, std::string* value);

// Why the machine's store cannot be used (a settings file that is a FIFO, a device or
// too large to be one), for people; empty when it can, or when there is none.
std::string SettingsFileProblem();

}  // namespace tq5::platform
