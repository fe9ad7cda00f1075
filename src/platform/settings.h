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
//
// Three values name the machine's cache folder, group and version, which have always
// been environment variables (MERLOC_GROUP_FOLDER_NAME, MERLOC_GROUP_NAME,
// ZOLMAR_VERSION). Their variable is their override; on POSIX the settings file holds
// the machine's value (cache-folder, group-name, zolmar-version), which zv_getenv gives
// where the process's environment lacks the variable. On Windows they are system-wide
// environment variables and the store holds none of them: the group's key is named by
// two of them.
#pragma once

#include <string>
#include <vector>

namespace tq5::platform {

enum class SettingSource { Default, Environment, Machine };

inline constexpr const char* kCacheFolderSetting = "cache-folder";
inline constexpr const char* kGroupNameSetting = "group-name";
inline constexpr const char* kVersionSetting = "zolmar-version";

struct Setting {
  std::string value;  // empty when unset
  SettingSource source = SettingSource::Default;
};

// Every setting there is, in the order people are shown them.
const std::vector<std::string>& KnownSettingNames();

// What is wrong with the machine's store as such, for people, one line per problem: a
// settings file that is refused, a line that is not `name = value`, a name that no
// setting has (with the nearest one). Each line says what becomes of it. Empty when
// there is nothing to say (on Windows the store is the registry, which has no lines).
std::vector<std::string> MachineStoreProblems();

// Whether `name` is one of the three settings above, whose variable is the historian's.
bool IsVariableSetting(const char* name);

// The environment variable that overrides `name`.
std::string SettingVariable(const char* name);

// For zv_getenv: the machine's value of the setting whose variable is `variable` (one of
// the three above), from a read of the machine's store at most a few seconds old; null
// for any other variable, or when the machine has no value (an empty one counts as
// none). The text stays valid for the life of the process.
const char* MachineValueOfVariable(const char* variable);

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

// For people, that the setting `name` has no value: its variable is not set, nor (where
// the machine's store may hold it) is it in the store: "MERLOC_GROUP_NAME is not set,
// nor group-name in /etc/tq5orvcache/tq5orvcache.conf".
std::string UnsetSettingText(const char* name);

// What the machine's store is, for a report of where a value came from: "file" on POSIX,
// "registry" on Windows.
const char* MachineStoreKind();

// For people, where the machine's store holds `name`: "group-name in
// /etc/tq5orvcache/tq5orvcache.conf", "the value TQ5ORVCACHE_ACCESS in HKEY_...".
std::string MachineSettingPlace(const char* name);

// For people, where to give the setting `name` a value for the whole machine: "cache-folder
// in /etc/tq5orvcache/tq5orvcache.conf, or MERLOC_GROUP_FOLDER_NAME for one process".
std::string SettingHint(const char* name);

// Why the machine's store cannot be used (a settings file that is a FIFO, a device or
// too large to be one), for people; empty when it can, or when there is none.
std::string SettingsFileProblem();

}  // namespace tq5::platform
