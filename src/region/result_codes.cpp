// The fixed message of every result code.
#include "region/result_codes.h"

#include <cstdio>
#include <cstring>

#include "region/exported_calls.h"

namespace tq5::region {
namespace {

// Index i holds the message of code -(101 + i).
constexpr const char* kFailureMessages[] = {
    "The shared memory already exists.",
    "The shared memory already open.",
    "The shared memory has not been opened.",
    "The shared memory has not been mapped.",
    "The shared memory does not have enough space for this many entries.",
    "The input buffer is too small.",
    "The length of the supplied domainname is either 0 or too long.",
    "The length of the supplied username is either 0 or too long.",
    "Data in shared memory is corrupted.",
    "One of the roles does not exist.",
    "Failed to create the thread to get the user roles.",
    "Received a timeout from ORV server.",
    "This user is not in the shared memory.",
    "Cannot create the cache file for writing.",
    "Failed to write cache data to the cache file.",
    "Cannot open the cache file for reading.",
    "Failed to CreateFileMapping.",
    "Failed to OpenFileMapping.",
    "NFailed to MapViewOfFile.",
    "Failed to UnmapViewOfFile.",
    "Failed to FlushViewOfFile.",
    "GetORVUserRoles failed CoInitializeEx.",
    "GetORVUserRoles failed CreateInstance BtSecurityAdmin.",
    "GetORVUserRoles failed GetUserRolesEx.",
    "GetORVUserRoles failed to malloc space for the Roles.",
    "GetORVUserRoles - one of the role names of ids is too long.",
    "Cannot get TQ5 MERLOC_GROUP_NAME or ZOLMAR_VERSION environments.",
    "Cannot open the TQ5 Group Name key in the Registry.",
    "Cannot open the USER_ROLES_TIMEOUT key in the Registry.",
    "Cannot create the USER_ROLES_TIMEOUT key in the Registry.",
    "GetORVAllRoles failed CreateInstance BtSecurityAdmin.",
    "GetORVAllRoles failed CoInitializeEx.",
    "GetORVAllRoles failed GetTrusteeList.",
    "GetORVAllRoles failed to malloc space for the Roles.",
    "GetORVAllRoles - one of the role names of ids is too long.",
    "Malloc failed to allocate space.",
    "Failed to create the global mutex for the shared memory.",
    "Failed to fetch roles for this user.",
    "Failed to initialize the security descriptor.",
    "Failed to create security descriptor DACL.",
    "Failed to open the global mutex for the shared memory.",
    "GetORVUserRoles failed CreateInstance OrvAuthorization.",
    "GetORVUserRoles failed to initialize the cache.",
    "GetORVUserRoles return different size arrays of Names and Ids.",
    "GetORVAllRoles failed CreateInstance OrvAuthorization.",
    "GetORVAllRoles failed to initialize the cache.",
    "GetORVAllRoles return different size arrays of Names and Ids.",
    "GetORVAllRoles failed GetAllRoles.",
    "Invalid pointer in the input parameters.",
};
static_assert(sizeof(kFailureMessages) / sizeof(kFailureMessages[0]) == 49);

}  // namespace

const char* FixedMessage(ResultCode code) {
  if (code == CACHE_OK) return "No error.";
  if (code <= CACHE_E_REGION_EXISTS && code >= CACHE_E_INVALID_POINTER) {
    return kFailureMessages[CACHE_E_REGION_EXISTS - code];
  }
  return nullptr;
}

std::string Message(ResultCode code) {
  if (const char* fixed = FixedMessage(code)) return fixed;
  char text[64];
  std::snprintf(text, sizeof text, "unknown error = %d", static_cast<int>(code));
  return text;
}

}  // namespace tq5::region

void tq5::calls::GetTQ5ORVCacheErrorMessage(ResultCode code, char* buffer, uint32_t* length) {
  // A size of 0 leaves no room even for the NUL, so nothing can be written.
  if (!buffer || !length || *length == 0) return;
  const std::string message = tq5::region::Message(code);
  const uint32_t messageLength = static_cast<uint32_t>(message.size());
  if (*length > messageLength) {
    std::memcpy(buffer, message.c_str(), messageLength + 1);
    *length = messageLength + 1;
  } else {
    std::memcpy(buffer, message.data(), *length - 1);
    buffer[*length - 1] = '\0';
  }
}
