#include "settings_report.h"

#include <cstdio>

#include "platform/settings.h"

namespace orvcache {
namespace {

struct Shown {
  const char* label;
  const char* jsonName;
  const char* setting;
};
constexpr Shown kMachineValues[] = {
    {"cache folder", "cacheFolder", tq5::platform::kCacheFolderSetting},
    {"group", "groupName", tq5::platform::kGroupNameSetting},
    {"version", "version", tq5::platform::kVersionSetting},
};

}  // namespace

SettingReport ReportSetting(const char* name) {
  using tq5::platform::SettingSource;
  const tq5::platform::Setting setting = tq5::platform::ReadSetting(name);
  SettingReport report;
  report.value = setting.value;
  switch (setting.source) {
    case SettingSource::Environment:
      report.source = "environment";
      report.origin = tq5::platform::SettingVariable(name) + " of this process" +
                      (setting.value.empty() ? ", empty" : "");
      break;
    case SettingSource::Machine:
      report.source = tq5::platform::MachineStoreKind();
      report.origin = tq5::platform::MachineSettingPlace(name);
      break;
    case SettingSource::Default:
      report.source = "default";
      report.origin = tq5::platform::UnsetSettingText(name);
      break;
  }
  return report;
}

void PrintMachineValues() {
  for (const Shown& shown : kMachineValues) {
    const SettingReport report = ReportSetting(shown.setting);
    std::printf("%-16s %s (%s)\n", shown.label,
                report.value.empty() ? "none" : report.value.c_str(), report.origin.c_str());
  }
}

Json MachineValuesJson() {
  Json values = Json::object();
  for (const Shown& shown : kMachineValues) {
    const SettingReport report = ReportSetting(shown.setting);
    values[shown.jsonName] = {{"value", report.value.empty() ? Json(nullptr) : Json(report.value)},
                              {"source", report.source},
                              {"from", report.origin}};
  }
  return values;
}

}  // namespace orvcache
