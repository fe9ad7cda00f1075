// The library's C interface: each export, in the order of exports.txt, is one call of
// its body (in the subsystem whose state it works on) inside the boundary's guard, so
// that every export keeps the same contract: a ResultCode, never an exception, no lock
// left held, and the thread's latest failure saying why.
#include "exports/boundary.h"
#include "region/exported_calls.h"
#include "roles/exported_calls.h"
#include "tq5orvcache.h"
#include "users/exported_calls.h"

using tq5::exports::Guarded;

extern "C" {

void GetTQ5ORVCacheErrorMessage(ResultCode code, char* buffer, uint32_t* length) {
  // No code to answer: a message that cannot be built for want of memory is not written.
  Guarded("GetTQ5ORVCacheErrorMessage", [&] {
    tq5::calls::GetTQ5ORVCacheErrorMessage(code, buffer, length);
    return CACHE_OK;
  });
}

ResultCode InitializeTQ5ORVCacheServer(void) {
  return Guarded("InitializeTQ5ORVCacheServer",
                 [&] { return tq5::calls::InitializeTQ5ORVCacheServer(); });
}

ResultCode InitializeTQ5ORVCache(void) {
  return Guarded("InitializeTQ5ORVCache", [&] { return tq5::calls::InitializeTQ5ORVCache(); });
}

ResultCode UninitializeTQ5ORVCache(void) {
  return Guarded("UninitializeTQ5ORVCache", [&] { return tq5::calls::UninitializeTQ5ORVCache(); });
}

ResultCode InitializeCacheDataSharedMemory(void) {
  return Guarded("InitializeCacheDataSharedMemory",
                 [&] { return tq5::calls::InitializeCacheDataSharedMemory(); });
}

ResultCode UninitializeCacheDataSharedMemory(void) {
  return Guarded("UninitializeCacheDataSharedMemory",
                 [&] { return tq5::calls::UninitializeCacheDataSharedMemory(); });
}

ResultCode WriteCacheDataToFile(void) {
  return Guarded("WriteCacheDataToFile", [&] { return tq5::calls::WriteCacheDataToFile(); });
}

ResultCode PutRoleProperties(int32_t roleCapacity, int32_t roleHighWater, int32_t roleActiveCount) {
  return Guarded("PutRoleProperties", [&] {
    return tq5::calls::PutRoleProperties(roleCapacity, roleHighWater, roleActiveCount);
  });
}

ResultCode GetRoleProperties(int32_t* roleCapacity, int32_t* roleHighWater,
                             int32_t* roleActiveCount) {
  return Guarded("GetRoleProperties", [&] {
    return tq5::calls::GetRoleProperties(roleCapacity, roleHighWater, roleActiveCount);
  });
}

ResultCode PutUserProperties(int32_t userCapacity, int32_t userHighWater, int32_t userActiveCount) {
  return Guarded("PutUserProperties", [&] {
    return tq5::calls::PutUserProperties(userCapacity, userHighWater, userActiveCount);
  });
}

ResultCode GetUserProperties(int32_t* userCapacity, int32_t* userHighWater,
                             int32_t* userActiveCount) {
  return Guarded("GetUserProperties", [&] {
    return tq5::calls::GetUserProperties(userCapacity, userHighWater, userActiveCount);
  });
}

ResultCode PutConfigurationData(int32_t autoCommitRoles, int32_t configValue) {
  return Guarded("PutConfigurationData",
                 [&] { return tq5::calls::PutConfigurationData(autoCommitRoles, configValue); });
}

ResultCode GetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue) {
  return Guarded("GetConfigurationData",
                 [&] { return tq5::calls::GetConfigurationData(autoCommitRoles, configValue); });
}

ResultCode ClientPutRoleProperties(int32_t roleCapacity, int32_t roleHighWater,
                                   int32_t roleActiveCount) {
  return Guarded("ClientPutRoleProperties", [&] {
    return tq5::calls::ClientPutRoleProperties(roleCapacity, roleHighWater, roleActiveCount);
  });
}

ResultCode ClientGetRoleProperties(int32_t* roleCapacity, int32_t* roleHighWater,
                                   int32_t* roleActiveCount) {
  return Guarded("ClientGetRoleProperties", [&] {
    return tq5::calls::ClientGetRoleProperties(roleCapacity, roleHighWater, roleActiveCount);
  });
}

ResultCode ClientPutUserProperties(int32_t userCapacity, int32_t userHighWater,
                                   int32_t userActiveCount) {
  return Guarded("ClientPutUserProperties", [&] {
    return tq5::calls::ClientPutUserProperties(userCapacity, userHighWater, userActiveCount);
  });
}

ResultCode ClientGetUserProperties(int32_t* userCapacity, int32_t* userHighWater,
                                   int32_t* userActiveCount) {
  return Guarded("ClientGetUserProperties", [&] {
    return tq5::calls::ClientGetUserProperties(userCapacity, userHighWater, userActiveCount);
  });
}

ResultCode ClientPutConfigurationData(int32_t autoCommitRoles, int32_t configValue) {
  return Guarded("ClientPutConfigurationData", [&] {
    return tq5::calls::ClientPutConfigurationData(autoCommitRoles, configValue);
  });
}

ResultCode ClientGetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue) {
  return Guarded("ClientGetConfigurationData", [&] {
    return tq5::calls::ClientGetConfigurationData(autoCommitRoles, configValue);
  });
}

ResultCode PutAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles) {
  return Guarded("PutAllRolesCacheDataSharedMemory",
                 [&] { return tq5::calls::PutAllRolesCacheDataSharedMemory(count, roles); });
}

ResultCode UpdateAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles) {
  return Guarded("UpdateAllRolesCacheDataSharedMemory",
                 [&] { return tq5::calls::UpdateAllRolesCacheDataSharedMemory(count, roles); });
}

ResultCode GetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return Guarded("GetAllRolesCacheDataSharedMemory",
                 [&] { return tq5::calls::GetAllRolesCacheDataSharedMemory(count, roles); });
}

ResultCode GetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return Guarded("GetAllActiveRolesCacheDataSharedMemory",
                 [&] { return tq5::calls::GetAllActiveRolesCacheDataSharedMemory(count, roles); });
}

ResultCode ClientGetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return Guarded("ClientGetAllRolesCacheDataSharedMemory",
                 [&] { return tq5::calls::ClientGetAllRolesCacheDataSharedMemory(count, roles); });
}

ResultCode ClientGetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return Guarded("ClientGetAllActiveRolesCacheDataSharedMemory", [&] {
    return tq5::calls::ClientGetAllActiveRolesCacheDataSharedMemory(count, roles);
  });
}

ResultCode ClientFindUserRoles(const char* domainName, const char* userName, int32_t* count,
                               RoleNameId* roles, int32_t timeoutMs) {
  return Guarded("ClientFindUserRoles", [&] {
    return tq5::calls::ClientFindUserRoles(domainName, userName, count, roles, timeoutMs);
  });
}

ResultCode ClientFindUserRolesFromAdmin(const char* domainName, const char* userName,
                                        int32_t* count, RoleNameId* roles, int32_t timeoutMs) {
  return Guarded("ClientFindUserRolesFromAdmin", [&] {
    return tq5::calls::ClientFindUserRolesFromAdmin(domainName, userName, count, roles, timeoutMs);
  });
}

ResultCode ClientFindUserCurrentRoles(const char* domainName, const char* userName, int32_t* count,
                                      RoleNameId* roles) {
  return Guarded("ClientFindUserCurrentRoles", [&] {
    return tq5::calls::ClientFindUserCurrentRoles(domainName, userName, count, roles);
  });
}

ResultCode ClientGetAllUsersCacheDataSharedMemory(int32_t* count, UserEntry* users) {
  return Guarded("ClientGetAllUsersCacheDataSharedMemory",
                 [&] { return tq5::calls::ClientGetAllUsersCacheDataSharedMemory(count, users); });
}

ResultCode ClientDeleteUserCacheDataSharedMemory(const char* domainName, const char* userName) {
  return Guarded("ClientDeleteUserCacheDataSharedMemory", [&] {
    return tq5::calls::ClientDeleteUserCacheDataSharedMemory(domainName, userName);
  });
}

ResultCode ClientRefreshUserRoles(const char* domainName, const char* userName) {
  return Guarded("ClientRefreshUserRoles",
                 [&] { return tq5::calls::ClientRefreshUserRoles(domainName, userName); });
}

ResultCode ClientUpdateOneUserLastAccessTime(int32_t lastAccess, const char* domainName,
                                             const char* userName) {
  return Guarded("ClientUpdateOneUserLastAccessTime", [&] {
    return tq5::calls::ClientUpdateOneUserLastAccessTime(lastAccess, domainName, userName);
  });
}

ResultCode UpdateAllCurUserRoles(int32_t timeoutMs) {
  return Guarded("UpdateAllCurUserRoles",
                 [&] { return tq5::calls::UpdateAllCurUserRoles(timeoutMs); });
}

}  // extern "C"
