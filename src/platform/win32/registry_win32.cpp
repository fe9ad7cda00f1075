#include <new>

#include "platform/registry.h"
#include "platform/status.h"
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

// Keeps why a registry call failed as the thread's latest failure, under the code its
// callers report for it, and hands its status back.
RegistryStatus Noted(LSTATUS error, ResultCode code, const char* call, const std::string& what) {
  const RegistryStatus status = StatusOf(error);
  if (status != RegistryStatus::Ok && status != RegistryStatus::MoreData) {
    NoteFailed(code, call, what, static_cast<long>(error));
  }
  return status;
}

}  // namespace

RegistryStatus OpenMachineKey(const std::string& subkey, bool fullAccess, RegistryKey** out) {
  *out = nullptr;
  // No view flag: a 64-bit library sees the 64-bit registry, a 32-bit one the redirected
  // 32-bit view, just as the programs that load it do.
  HKEY handle = nullptr;
  const LSTATUS error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0,
                                      fullAccess ? KEY_ALL_ACCESS : KEY_READ, &handle);
  if (error != ERROR_SUCCESS) {
    return Noted(error, CACHE_E_GROUP_KEY_OPEN, "RegOpenKeyExA", MachineKeyPath(subkey));
  }
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
  return Noted(error, CACHE_E_TIMEOUT_KEY_OPEN, "RegQueryValueExA", name ? name : "");
}

RegistryStatus SetDwordValue(RegistryKey* key, const char* name, uint32_t value) {
  const DWORD data = value;
  return Noted(RegSetValueExA(key->handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                              sizeof data),
               CACHE_E_TIMEOUT_KEY_CREATE, "RegSetValueExA", name ? name : "");
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
