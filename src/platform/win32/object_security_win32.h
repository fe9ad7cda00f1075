// Security attributes for the cache's named objects and its file. By default a present
// but null DACL lets processes of every user and every session open them: server and
// clients may run as different accounts (services, interactive users). Restricted, the
// DACL allows SYSTEM, Administrators and the group the rights given, and nobody else
// anything.
#pragma once

#include "platform/object_access.h"
#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform::win32 {

// What each kind of object grants the accounts that may use it.
inline constexpr DWORD kMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
inline constexpr DWORD kSectionRights = SECTION_MAP_READ | SECTION_MAP_WRITE;

class SecurityAttributes {
 public:
  SecurityAttributes() = default;
  ~SecurityAttributes();
  SecurityAttributes(const SecurityAttributes&) = delete;
  SecurityAttributes& operator=(const SecurityAttributes&) = delete;

  // A kernel object's: null DACL for everyone, or SYSTEM, Administrators and the group,
  // each with `rights`. CACHE_E_NO_MEMORY, CACHE_E_SECURITY_DESCRIPTOR (the descriptor
  // or a SID cannot be built) or CACHE_E_SECURITY_DACL (the list cannot be built or set).
  ResultCode ForObject(const ObjectAccess& access, DWORD rights);
  // The cache file's, restricted: SYSTEM, Administrators and this process's own account
  // full access (it replaces the file later), the group read access.
  ResultCode ForRestrictedFile(const ObjectAccess& access);

  // Non-inheritable attributes pointing to the descriptor; valid while this lives.
  SECURITY_ATTRIBUTES* get() { return &attributes_; }

 private:
  struct Entry {
    PSID sid;
    DWORD rights;
  };
  ResultCode Build(const Entry* entries, int count);

  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  PACL acl_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace tq5::platform::win32
