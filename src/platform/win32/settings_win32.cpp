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
  // The folder, group and version are system-wide environment variables here; the key
  // could not hold the two that name it anyway.
  if (IsVariableSetting(name)) return false;
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

const char* MachineStoreKind() { return "registry"; }

std::string MachineSettingPlace(const char* name) {
  return "the value " + SettingVariable(name) + " in " + SettingsLocation();
}

std::string UnsetSettingText(const char* name) {
  if (IsVariableSetting(name)) return SettingVariable(name) + " is not set";
  return SettingVariable(name) + " is not set, nor " + MachineSettingPlace(name);
}

std::string SettingHint(const char* name) {
  if (IsVariableSetting(name)) {
    return "the system-wide environment variable " + SettingVariable(name);
  }
  return MachineSettingPlace(name);
}

// The key's values are each read as one setting; there are no lines to find fault with.
std::vector<std::string> MachineStoreProblems() { return {}; }

// Registry values are read whole by the system, and are bounded by the buffer.
std::string SettingsFileProblem() { return ""; }

}  // namespace tq5::platform
