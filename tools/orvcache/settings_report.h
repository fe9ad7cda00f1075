// Where the values that every process must agree on come from, as the command tells
// people: the process's environment, the machine's settings (the settings file on Linux,
// the group's registry key on Windows), or nowhere.
#pragma once

#include <string>
#include <vector>

#include "output.h"

namespace orvcache {

struct SettingReport {
  std::string value;   // empty when it has none
  std::string source;  // "environment", "file", "registry" or "default"
  std::string origin;  // in words: "group-name in /etc/tq5orvcache/tq5orvcache.conf"
};

SettingReport ReportSetting(const char* name);

// The fetch time limit as the registry holds it (ORV_USER_ROLES_TIMEOUT), read without
// creating it: value in milliseconds, "registry" or "default".
SettingReport ReportFetchLimit();

struct SettingProblem {
  std::string setting;  // the setting it concerns; empty for the settings file as such
  std::string text;     // one line for people, saying what becomes of it
};

// Every problem of the machine's settings as this process sees them (its environment's
// overrides included): the settings file's lines, values a setting does not take, a
// directory that cannot be used, a cache folder that is not there, a group without a
// version.
std::vector<SettingProblem> SettingsProblems();

// Whether the server can take its role list from `choice` (the form of the directory
// setting): a known form, and a directory file that loads; with `formOnly` the file is
// not read. The reason in *why when not.
bool DirectoryUsable(const std::string& choice, std::string* why, bool formOnly = false);

// The cache folder, the group and the version, each with where it came from: printed
// lines, or JSON.
void PrintMachineValues();
Json MachineValuesJson();

}  // namespace orvcache
