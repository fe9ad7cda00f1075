// The machine's settings store: the registry under HKEY_LOCAL_MACHINE on Windows, a
// folder tree under a registry root on POSIX with the same key and value names.
#pragma once

#include <cstdint>
#include <string>

#include "tq5orvcache.h"

namespace tq5::platform {

struct RegistryKey;

enum class RegistryStatus { Ok, NotFound, AccessDenied, MoreData, Failed };

// Opens an existing key, with full access or for reading only. `subkey` uses '\' between
// its parts on every platform. The key is never created here.
RegistryStatus OpenMachineKey(const std::string& subkey, bool fullAccess, RegistryKey** out);
// Reads a value's data, whatever its type, into `buffer` of *size bytes; *size becomes
// the number of bytes read. MoreData when the data is longer than the buffer.
RegistryStatus QueryValue(RegistryKey* key, const char* name, void* buffer, uint32_t* size);
// Writes a REG_DWORD value of 4 bytes.
RegistryStatus SetDwordValue(RegistryKey* key, const char* name, uint32_t value);
void CloseKey(RegistryKey* key);

// Where a person finds a key of HKEY_LOCAL_MACHINE: "HKEY_LOCAL_MACHINE\<subkey>" on
// Windows, the key's folder under the registry root on POSIX. What it is ("key",
// "folder"), and what stands between it and a value's name ('\', '/').
std::string MachineKeyPath(const std::string& subkey);
extern const char* const kMachineKeyKind;
extern const char kMachineKeySeparator;

// The group's key, "SOFTWARE\Brintel\Zolmar\<version>\<group>", from ZOLMAR_VERSION and
// MERLOC_GROUP_NAME. CACHE_E_NO_GROUP_ENV when either is unset; CACHE_E_GROUP_KEY_OPEN
// when a part or the whole is longer than 255 characters (cut short, it would name
// another key).
ResultCode GroupKeyPath(std::string* out);

}  // namespace tq5::platform
