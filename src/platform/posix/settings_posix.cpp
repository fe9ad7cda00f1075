// The settings file: /etc/tq5orvcache/tq5orvcache.conf, or the file that
// TQ5ORVCACHE_CONFIG names. Lines `name = value`; `#` starts a comment; blank lines and
// spaces around names and values are ignored; the last line for a name wins. A missing or
// unreadable file holds no settings, and so does anything but a small regular file: a
// read that waited on a FIFO or went on through a device would stall whoever asked, so
// such a file is refused before a byte is read (SettingsFileProblem says why).
#include <sys/types.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/edit_distance.h"
#include "platform/platform.h"
#include "platform/settings.h"

namespace tq5::platform {

namespace {

constexpr const char* kDefaultSettingsFile = "/etc/tq5orvcache/tq5orvcache.conf";
// Far more than any settings file needs.
constexpr off_t kMaxSettingsFileSize = 64 * 1024;

std::string Trim(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The file's text; false when there is none to use, with the reason in *why (empty when
// there is no file at all, which holds no settings).
bool ReadSettingsFile(const std::string& path, std::string* text, std::string* why) {
  FileHandle file = kNoFile;
  uint64_t size = 0;
  const FileOpen opened = OpenRegularFileForReading(path, &file, &size, why);
  if (opened == FileOpen::Missing) why->clear();
  if (opened != FileOpen::Opened) return false;
  bool read = false;
  if (size > static_cast<uint64_t>(kMaxSettingsFileSize)) {
    *why = std::to_string(size) + " bytes, more than a settings file may hold (" +
           std::to_string(kMaxSettingsFileSize) + ")";
  } else {
    // One byte more than allowed shows a file that grew since it was examined.
    text->resize(static_cast<std::size_t>(kMaxSettingsFileSize) + 1);
    std::size_t got = 0;
    read = ReadFromFile(file, text->data(), text->size(), &got) &&
           got <= static_cast<std::size_t>(kMaxSettingsFileSize);
    if (!read) *why = "it cannot be read, or grew beyond what a settings file may hold";
    text->resize(read ? got : 0);
  }
  CloseFileForReading(file);
  return read;
}

}  // namespace

std::string SettingsLocation() {
  const char* path = zv_getenv("TQ5ORVCACHE_CONFIG");
  return path && *path ? path : kDefaultSettingsFile;
}

bool ReadMachineSetting(const char* name, std::string* value) {
  std::string text;
  std::string why;
  if (!ReadSettingsFile(SettingsLocation(), &text, &why)) return false;
  std::istringstream in(text);
  bool found = false;
  for (std::string line; std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    const std::string::size_type equals = line.find('=');
    if (equals == std::string::npos || Trim(line.substr(0, equals)) != name) continue;
    *value = Trim(line.substr(equals + 1));
    found = true;
  }
  return found;
}

namespace {

// The setting that an unknown name was most likely meant to be, or empty.
std::string NearestSetting(const std::string& name) {
  std::string spelled = LowerAsciiText(name);
  for (char& c : spelled) c = c == '_' ? '-' : c;
  std::string nearest;
  std::size_t best = 3;  // more edits than that is another word
  for (const std::string& known : KnownSettingNames()) {
    const std::size_t distance = EditDistance(spelled, known);
    if (distance < best) {
      best = distance;
      nearest = known;
    }
  }
  return nearest;
}

}  // namespace

std::vector<std::string> MachineStoreProblems() {
  const std::string path = SettingsLocation();
  std::string text;
  std::string why;
  if (!ReadSettingsFile(path, &text, &why)) {
    if (why.empty()) return {};
    return {SettingsFileProblem()};
  }
  std::vector<std::string> problems;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string content = Trim(line.substr(0, line.find('#')));
    if (content.empty()) continue;
    const std::string at = path + " line " + std::to_string(number) + ": ";
    const std::string::size_type equals = content.find('=');
    const std::string name = equals == std::string::npos ? "" : Trim(content.substr(0, equals));
    if (name.empty()) {
      problems.push_back(at + "\"" + content + "\" is not `name = value`; the line is ignored");
      continue;
    }
    const auto& known = KnownSettingNames();
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    const std::string nearest = NearestSetting(name);
    problems.push_back(at + "no setting is named \"" + name + "\"" +
                       (nearest.empty() ? "" : " (did you mean " + nearest + "?)") +
                       "; the line is ignored");
  }
  return problems;
}

std::string UnsetSettingText(const char* name) {
  return SettingVariable(name) + " is not set, nor " + MachineSettingPlace(name);
}

const char* MachineStoreKind() { return "file"; }

std::string MachineSettingPlace(const char* name) {
  return std::string(name) + " in " + SettingsLocation();
}

std::string SettingHint(const char* name) {
  return MachineSettingPlace(name) + ", or " + SettingVariable(name) + " for one process";
}

std::string SettingsFileProblem() {
  const std::string path = SettingsLocation();
  std::string text;
  std::string why;
  if (ReadSettingsFile(path, &text, &why) || why.empty()) return "";
  return "the settings file " + path + " is not used (" + why + "): every setting has its default";
}

}  // namespace tq5::platform
