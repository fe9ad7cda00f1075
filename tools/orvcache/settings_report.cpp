#include "settings_report.h"

#include <cstdio>
#include <filesystem>

#include "commands.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

struct Shown {
  const char* label;
  const char* jsonName;
  const char* setting;
};
const Shown kMachineValues[] = {
    {"cache folder", "cacheFolder", tq5::admin::kCacheFolderSetting},
    {"group", "groupName", tq5::admin::kGroupNameSetting},
    {"version", "version", tq5::admin::kVersionSetting},
};

}  // namespace

SettingReport ReportSetting(const char* name) {
  using tq5::admin::SettingSource;
  const tq5::admin::Setting setting = tq5::admin::ReadSetting(name);
  SettingReport report;
  report.value = setting.value;
  switch (setting.source) {
    case SettingSource::Environment:
      report.source = "environment";
      report.origin = tq5::admin::SettingVariable(name) + " of this process" +
                      (setting.value.empty() ? ", empty" : "");
      break;
    case SettingSource::Machine:
      report.source = tq5::admin::MachineStoreKind();
      report.origin = tq5::admin::MachineSettingPlace(name);
      break;
    case SettingSource::Default:
      report.source = "default";
      report.origin = tq5::admin::UnsetSettingText(name);
      break;
  }
  return report;
}

namespace {

constexpr const char* kDirectorySetting = "directory";
const char* const kYesNoSettings[] = {"fetch-outside-lock", "shared-cache-folder"};

bool IsYesNo(const std::string& value) {
  const std::string v = tq5::admin::LowerAscii(value);
  return v == "yes" || v == "no" || v == "true" || v == "false" || v == "on" || v == "off" ||
         v == "1" || v == "0";
}

// "fetch-outside-lock = maybe (fetch-outside-lock in /etc/...)".
std::string Given(const char* name, const SettingReport& report) {
  return std::string(name) + " = " + report.value + " (" + report.origin + ")";
}

// A group or version that can name a key folder.
std::string KeyNameProblem(const std::string& value) {
  if (value == "." || value == ".." || value.find_first_of("/\\") != std::string::npos) {
    return "names no registry key (no '/' or '\\', not . or ..)";
  }
  if (value.size() > 255) return "is longer than 255 characters, and names no registry key";
  return "";
}

// What is shown for a setting without a value.
std::string DefaultText(const std::string& name) {
  if (name == kDirectorySetting) return "nss";
  if (name == tq5::admin::kAccessSetting) return tq5::admin::kAccessEveryone;
  for (const char* yesNo : kYesNoSettings) {
    if (name == yesNo) return "no";
  }
  if (name == tq5::admin::kNegativeCacheSetting) return "0";
  return "";
}

}  // namespace

bool DirectoryUsable(const std::string& choice, std::string* why, bool formOnly) {
  if (choice.empty() || choice == "nss") return true;
  const std::string prefix = "file:";
  if (choice.compare(0, prefix.size(), prefix) != 0 ||
      !std::filesystem::path(choice.substr(prefix.size())).is_absolute()) {
    *why = "\"" + choice + "\" is neither nss nor file:/absolute/path";
    return false;
  }
  if (formOnly) return true;
  std::vector<tq5::admin::DirectoryRole> roles;
  std::string error;
  if (tq5::admin::ReadDirectoryRoles(choice.substr(prefix.size()), &roles, &error)) return true;
  *why = "the directory file " + choice.substr(prefix.size()) + ": " + error;
  return false;
}

std::vector<SettingProblem> SettingsProblems() {
  std::vector<SettingProblem> problems;
  for (const std::string& line : tq5::admin::MachineStoreProblems()) {
    problems.push_back({"", line});
  }
  for (const char* name : kYesNoSettings) {
    const SettingReport report = ReportSetting(name);
    if (!report.value.empty() && !IsYesNo(report.value)) {
      problems.push_back({name, Given(name, report) + " is neither yes nor no: it counts as no"});
    }
  }
  const SettingReport negative = ReportSetting(tq5::admin::kNegativeCacheSetting);
  if (!tq5::admin::NegativeCacheValueValid(negative.value)) {
    problems.push_back(
        {tq5::admin::kNegativeCacheSetting, Given(tq5::admin::kNegativeCacheSetting, negative) +
                                                 " is not a whole number of seconds from 0 to " +
                                                 std::to_string(tq5::admin::kMaxNegativeSeconds) +
                                                 ": failed answers are not kept"});
  }
  const SettingReport directory = ReportSetting(kDirectorySetting);
  std::string why;
  if (!DirectoryUsable(directory.value, &why)) {
    const bool form = !DirectoryUsable(directory.value, &why, true);
    problems.push_back({kDirectorySetting, Given(kDirectorySetting, directory) + ": " + why +
                                               (form ? ": every fetch fails (-142)"
                                                     : ": fetches fail until it can be read")});
  }
  const SettingReport access = ReportSetting(tq5::admin::kAccessSetting);
  why.clear();
  if (!tq5::admin::AccessSettingResolves(&why)) {
    problems.push_back({tq5::admin::kAccessSetting, why + ": a server does not start"});
  }
  const SettingReport folder = ReportSetting(tq5::admin::kCacheFolderSetting);
  if (!folder.value.empty()) {
    std::error_code error;
    if (!std::filesystem::path(folder.value).is_absolute()) {
      problems.push_back({tq5::admin::kCacheFolderSetting,
                          Given(tq5::admin::kCacheFolderSetting, folder) +
                              " is not an absolute path: the file's place depends on where "
                              "each process runs"});
    } else if (!std::filesystem::is_directory(folder.value, error)) {
      problems.push_back(
          {tq5::admin::kCacheFolderSetting, Given(tq5::admin::kCacheFolderSetting, folder) +
                                                   " is no folder: a server does not start"});
    }
  }
  const SettingReport group = ReportSetting(tq5::admin::kGroupNameSetting);
  const SettingReport version = ReportSetting(tq5::admin::kVersionSetting);
  for (const auto& [name, report] :
       {std::pair<const char*, const SettingReport&>{tq5::admin::kGroupNameSetting, group},
        {tq5::admin::kVersionSetting, version}}) {
    const std::string bad = report.value.empty() ? "" : KeyNameProblem(report.value);
    if (!bad.empty()) {
      problems.push_back(
          {name, Given(name, report) + " " + bad + ": every fetch waits the default 60000 ms"});
    }
  }
  if (group.value.empty() != version.value.empty()) {
    const bool noGroup = group.value.empty();
    const char* missing =
        noGroup ? tq5::admin::kGroupNameSetting : tq5::admin::kVersionSetting;
    const char* given = noGroup ? tq5::admin::kVersionSetting : tq5::admin::kGroupNameSetting;
    problems.push_back({missing, std::string(given) + " is set, but " +
                                     tq5::admin::UnsetSettingText(missing) +
                                     ": no process finds the group's registry key"});
  }
  return problems;
}

int RunSettings(const Args& args, bool json) {
  const bool check = args.Has("--check");
  const std::vector<SettingProblem> problems = SettingsProblems();
  if (json) {
    Json settings = Json::array();
    if (!check) {
      for (const std::string& name : tq5::admin::KnownSettingNames()) {
        const SettingReport report = ReportSetting(name.c_str());
        settings.push_back({{"name", name},
                            {"value", report.value.empty() ? Json(nullptr) : Json(report.value)},
                            {"effective", report.value.empty() ? DefaultText(name) : report.value},
                            {"source", report.source},
                            {"from", report.origin}});
      }
      const SettingReport limit = ReportFetchLimit();
      settings.push_back({{"name", "fetch-timeout"},
                          {"value", limit.value},
                          {"effective", limit.value},
                          {"source", limit.source},
                          {"from", limit.origin}});
    }
    Json lines = Json::array();
    for (const SettingProblem& problem : problems) {
      lines.push_back({{"setting", problem.setting.empty() ? Json(nullptr) : Json(problem.setting)},
                       {"problem", problem.text}});
    }
    Json out = {{"location", tq5::admin::SettingsLocation()}, {"problems", lines}};
    if (!check) out["settings"] = settings;
    PrintJson(out);
    return check && !problems.empty() ? kExitFailure : kExitOk;
  }
  if (check) {
    for (const SettingProblem& problem : problems) std::printf("%s\n", problem.text.c_str());
    if (problems.empty()) {
      std::printf("no problems (%s)\n", tq5::admin::SettingsLocation().c_str());
    }
    return problems.empty() ? kExitOk : kExitFailure;
  }
  Table table({"SETTING", "VALUE", "SOURCE", "FROM"});
  for (const std::string& name : tq5::admin::KnownSettingNames()) {
    const SettingReport report = ReportSetting(name.c_str());
    const std::string shown = report.value.empty() ? DefaultText(name) : report.value;
    table.Add({name, shown.empty() ? "-" : shown, report.source, report.origin});
  }
  const SettingReport limit = ReportFetchLimit();
  table.Add({"fetch-timeout", limit.value + " ms", limit.source, limit.origin});
  table.Print();
  if (!problems.empty()) {
    std::printf("\n%zu problem(s) (`orvcache settings --check`):\n", problems.size());
    for (const SettingProblem& problem : problems) std::printf("  %s\n", problem.text.c_str());
  }
  return kExitOk;
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
