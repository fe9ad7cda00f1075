// What the role exports do: the bodies that src/exports/c_api.cpp calls behind the
// boundary's guard, which turns their answer into the export's code.
#pragma once

#include <cstdint>

#include "tq5orvcache.h"

namespace tq5::calls {

ResultCode PutAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);
ResultCode UpdateAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);
ResultCode GetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode GetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode ClientGetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode ClientGetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);

}  // namespace tq5::calls
