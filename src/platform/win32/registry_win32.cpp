#include <new>

#include "platform/registry.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

struct RegistryKey {
  HKEY handle;
};

namespace {

RegistryStatus StatusOf(LSTATUS error) {
  switch (error) {
    case ERROR_SUCCESS:
      return RegistryStatus::Ok;
    case ERROR_FILE_NOT_FOUND:
      return RegistryStatus::NotFound;
    case ERROR_ACCESS_DENIED:
      return RegistryStatus::AccessDenied;
    case ERROR_MORE_DATA:
      return RegistryStatus::MoreData;
    default:
      return RegistryStatus::Failed;
  }
}

}  // namespace

RegistryStatus OpenMachineKey(const std::string& subkey, bool fullAccess, RegistryKey** out) {
  *out = nullptr;
  // No view flag: a 64-bit library sees the 64-bit registry, a 32-bit one the redirected
  // 32-bit view, just as the programs that load it do.
  HKEY handle = nullptr;
  const LSTATUS error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0,
                                      fullAccess ? KEY_ALL_ACCESS : KEY_READ, &handle);
  if (error != ERROR_SUCCESS) return StatusOf(error);
  auto* key = new (std::nothrow) RegistryKey{handle};
  if (key == nullptr) {
    RegCloseKey(handle);
    return RegistryStatus::Failed;
  }
  *out = key;
  return RegistryStatus::Ok;
}

RegistryStatus QueryValue(RegistryKey* key, const char* name, void* buffer, uint32_t* size) {
  DWORD length = *size;
  const LSTATUS error =
      RegQueryValueExA(key->handle, name, nullptr, nullptr, static_cast<BYTE*>(buffer), &length);
  if (error == ERROR_SUCCESS) *size = length;
  return StatusOf(error);
}

RegistryStatus SetDwordValue(RegistryKey* key, const char* name, uint32_t value) {
  const DWORD data = value;
  return StatusOf(RegSetValueExA(key->handle, name, 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&data), sizeof data));
}

void CloseKey(RegistryKey* key) {
  if (key == nullptr) return;
  RegCloseKey(key->handle);
  delete key;
}

std::string MachineKeyPath(const std::string& subkey) { return "HKEY_LOCAL_MACHINE\\" + subkey; }

const char* const kMachineKeyKind = "key";
const char kMachineKeySeparator = '\\';

}  // namespace tq5::platform
