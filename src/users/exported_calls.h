// What the user exports do: the bodies that src/exports/c_api.cpp calls behind the
// boundary's guard, which turns their answer into the export's code. Each answers a
// Status, so that the reason for a failure of the mutex, the view, the fetch or the
// flush is the one the caller reads beside the code.
#pragma once

#include <cstdint>

#include "platform/status.h"
#include "tq5orvcache.h"

namespace tq5::calls {

platform::Status ClientFindUserRoles(const char* domainName, const char* userName, int32_t* count,
                                     RoleNameId* roles, int32_t timeoutMs);
platform::Status ClientFindUserRolesFromAdmin(const char* domainName, const char* userName,
                                              int32_t* count, RoleNameId* roles, int32_t timeoutMs);
platform::Status ClientFindUserCurrentRoles(const char* domainName, const char* userName,
                                            int32_t* count, RoleNameId* roles);
platform::Status ClientGetAllUsersCacheDataSharedMemory(int32_t* count, UserEntry* users);
platform::Status ClientDeleteUserCacheDataSharedMemory(const char* domainName,
                                                       const char* userName);
platform::Status ClientRefreshUserRoles(const char* domainName, const char* userName);
platform::Status ClientUpdateOneUserLastAccessTime(int32_t lastAccess, const char* domainName,
                                                   const char* userName);
platform::Status UpdateAllCurUserRoles(int32_t timeoutMs);

}  // namespace tq5::calls
