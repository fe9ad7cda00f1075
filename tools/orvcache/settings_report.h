// Where the values that every process must agree on come from, as the command tells
// people: the process's environment, the machine's settings (the settings file on Linux,
// the group's registry key on Windows), or nowhere.
#pragma once

#include <string>

#include "output.h"

namespace orvcache {

struct SettingReport {
  std::string value;   // empty when it has none
  std::string source;  // "environment", "file", "registry" or "default"
  std::string origin;  // in words: "group-name in /etc/tq5orvcache/tq5orvcache.conf"
};

SettingReport ReportSetting(const char* name);

// The cache folder, the group and the version, each with where it came from: printed
// lines, or JSON.
void PrintMachineValues();
Json MachineValuesJson();

}  // namespace orvcache
