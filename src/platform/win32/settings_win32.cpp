// Machine-wide settings on Windows: values under the group's registry key (the key that
// also holds the fetch time limit), named like their environment overrides. A REG_SZ
// value is taken as text, a REG_DWORD as its number in decimal.
#include <string>

#include "platform/registry.h"
#include "platform/settings.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

std::string SettingsLocation() {
  std::string subkey;
  return GroupKeyPath(&subkey) == CACHE_OK ? "HKEY_LOCAL_MACHINE\\" + subkey
                                           : "the group's registry key (not named here)";
}

bool ReadMachineSetting(const char* name, std::string* value) {
  std::string subkey;
  if (GroupKeyPath(&subkey) != CACHE_OK) return false;
  const std::string valueName = SettingVariable(name);
  char data[256] = {};
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, subkey.c_str(), valueName.c_str(),
                   RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, data, &size) != ERROR_SUCCESS) {
    return false;
  }
  if (type == REG_DWORD) {
    DWORD number = 0;
    memcpy(&number, data, sizeof number);
    *value = std::to_string(number);
  } else {
    *value = data;  // RegGetValue terminates the string
  }
  return true;
}

// Registry values are read whole by the system, and are bounded by the buffer.
std::string SettingsFileProblem() { return ""; }

}  // namespace tq5::platform
