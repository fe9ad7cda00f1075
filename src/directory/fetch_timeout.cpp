#include "directory/fetch_timeout.h"

#include <cstring>
#include <string>

#include "directory/fetch_state.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "region/call_patterns.h"
#include "region/result_codes.h"

namespace tq5::directory {
namespace {

uint32_t LittleEndian(const unsigned char (&bytes)[4]) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Whether this thread's latest settled limit was the caller's own.
thread_local bool settledFromCaller = false;

}  // namespace

ResultCode ReadUserRolesTimeout(uint32_t* out) {
  using platform::RegistryStatus;
  if (!out) return CACHE_E_INVALID_POINTER;
  *out = kDefaultUserRolesTimeoutMs;
  std::string subkey;
  if (const ResultCode rc = platform::GroupKeyPath(&subkey); rc != CACHE_OK) return rc;

  platform::RegistryKey* key = nullptr;
  bool readOnly = false;
  RegistryStatus status = platform::OpenMachineKey(subkey, true, &key);
  if (status == RegistryStatus::AccessDenied) {
    if (platform::OpenMachineKey(subkey, false, &key) != RegistryStatus::Ok) {
      return CACHE_E_GROUP_KEY_OPEN;
    }
    readOnly = true;
  } else if (status != RegistryStatus::Ok) {
    return CACHE_E_GROUP_KEY_OPEN;
  }

  // Data shorter than 4 bytes reads as a little-endian number padded with zeros.
  unsigned char data[4] = {0, 0, 0, 0};
  uint32_t size = sizeof data;
  uint32_t value = 0;
  status = platform::QueryValue(key, kUserRolesTimeoutValue, data, &size);
  if (status == RegistryStatus::Ok) {
    value = LittleEndian(data);
  } else if (status != RegistryStatus::NotFound || readOnly) {
    platform::CloseKey(key);
    return CACHE_E_TIMEOUT_KEY_OPEN;
  } else {
    if (platform::SetDwordValue(key, kUserRolesTimeoutValue, kDefaultUserRolesTimeoutMs) !=
        RegistryStatus::Ok) {
      platform::CloseKey(key);
      return CACHE_E_TIMEOUT_KEY_CREATE;
    }
    value = kDefaultUserRolesTimeoutMs;
  }
  if (value != 0) *out = value;
  platform::CloseKey(key);
  return CACHE_OK;
}

int32_t GetUserRolesTimeout() {
  uint32_t limit = kDefaultUserRolesTimeoutMs;
  const ResultCode read = ReadUserRolesTimeout(&limit);
  // Values of 2^31 and more are negative here, as the callers compare them.
  const auto value = static_cast<int32_t>(limit);
  region::ProcessLock lock;
  ProcessDirectory().cachedUserRolesTimeoutRead.store(read);
  ProcessDirectory().cachedUserRolesTimeout.store(value);
  return value;
}

int32_t CachedUserRolesTimeout() { return ProcessDirectory().cachedUserRolesTimeout.load(); }

uint32_t SettleFetchTimeout(int32_t callerTimeoutMs) {
  settledFromCaller = callerTimeoutMs > 0;
  if (callerTimeoutMs > 0) return static_cast<uint32_t>(callerTimeoutMs);
  const int32_t cached = CachedUserRolesTimeout();
  if (cached > 0) return static_cast<uint32_t>(cached);
  return static_cast<uint32_t>(GetUserRolesTimeout());
}

std::string FetchTimeoutOrigin(uint32_t limitMs) {
  if (settledFromCaller) return "that the caller gave";
  const ResultCode read = ProcessDirectory().cachedUserRolesTimeoutRead.load();
  std::string key;
  if (read == CACHE_OK && platform::GroupKeyPath(&key) == CACHE_OK) {
    return std::string(kUserRolesTimeoutValue) + " of the group's registry key " + key +
           (limitMs == kDefaultUserRolesTimeoutMs ? " (or its default, where the value is 0)"
                                                  : "") +
           ", as this process read it at its first fetch (`orvcache timeout` changes it)";
  }
  return "by default, since " + std::string(kUserRolesTimeoutValue) + " could not be read (" +
         region::Message(read) + ")";
}

}  // namespace tq5::directory
