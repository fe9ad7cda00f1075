// What the role exports do: the bodies that src/exports/c_api.cpp calls behind the
// boundary's guard, which turns their answer into the export's code. Each answers a
// Status, so that the reason for a failure of the mutex, the view or the flush is the
// one the caller reads beside the code.
#pragma once

#include <cstdint>

#include "platform/status.h"
#include "tq5orvcache.h"

namespace tq5::calls {

platform::Status PutAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);
platform::Status UpdateAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);
platform::Status GetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
platform::Status GetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
platform::Status ClientGetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
platform::Status ClientGetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);

}  // namespace tq5::calls
