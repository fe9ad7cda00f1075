// The settings file: /etc/tq5orvcache/tq5orvcache.conf, or the file that
// TQ5ORVCACHE_CONFIG names. Lines `name = value`; `#` starts a comment; blank lines and
// spaces around names and values are ignored; the last line for a name wins. A missing or
// unreadable file holds no settings.
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/settings.h"

namespace tq5::platform {

namespace {

constexpr const char* kDefaultSettingsFile = "/etc/tq5orvcache/tq5orvcache.conf";

std::string Trim(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string SettingsLocation() {
  const char* path = zv_getenv("TQ5ORVCACHE_CONFIG");
  return path && *path ? path : kDefaultSettingsFile;
}

bool ReadMachineSetting(const char* name, std::string* value) {
  std::ifstream in(SettingsLocation());
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

}  // namespace tq5::platform
