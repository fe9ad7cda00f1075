// What the user exports do: the bodies that src/exports/c_api.cpp calls behind the
// boundary's guard, which turns their answer into the export's code.
#pragma once

#include <cstdint>

#include "tq5orvcache.h"

namespace tq5::calls {

ResultCode ClientFindUserRoles(const char* domainName, const char* userName, int32_t* count,
                               RoleNameId* roles, int32_t timeoutMs);
ResultCode ClientFindUserRolesFromAdmin(const char* domainName, const char* userName,
                                        int32_t* count, RoleNameId* roles, int32_t timeoutMs);
ResultCode ClientFindUserCurrentRoles(const char* domainName, const char* userName, int32_t* count,
                                      RoleNameId* roles);
ResultCode ClientGetAllUsersCacheDataSharedMemory(int32_t* count, UserEntry* users);
ResultCode ClientDeleteUserCacheDataSharedMemory(const char* domainName, const char* userName);
ResultCode ClientRefreshUserRoles(const char* domainName, const char* userName);
ResultCode ClientUpdateOneUserLastAccessTime(int32_t lastAccess, const char* domainName,
                                             const char* userName);
ResultCode UpdateAllCurUserRoles(int32_t timeoutMs);

}  // namespace tq5::calls
