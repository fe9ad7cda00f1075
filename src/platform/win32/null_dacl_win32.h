// Security attributes that let processes of every user and every session open a named
// object: server and clients may run as different accounts (services, interactive
// users), and all of them must reach the cache mutex and the section.
#pragma once

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform::win32 {

// Builds a descriptor with a present but null DACL, hands `create` non-inheritable
// security attributes that point to it, and frees the descriptor as soon as `create`
// has returned, whatever its outcome. `create` takes SECURITY_ATTRIBUTES* and returns
// a ResultCode, which becomes the result.
template <typename Create>
ResultCode WithNullDacl(Create&& create) {
  PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor == nullptr) return CACHE_E_NO_MEMORY;

  ResultCode result;
  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    result = CACHE_E_SECURITY_DESCRIPTOR;
  } else if (!SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
    result = CACHE_E_SECURITY_DACL;
  } else {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    result = create(&attributes);
  }
  LocalFree(descriptor);
  return result;
}

}  // namespace tq5::platform::win32
