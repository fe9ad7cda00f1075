// What the region's exports do: the bodies that src/exports/c_api.cpp calls behind the
// boundary's guard. Each holds the locks it needs for itself and answers a Status where
// a failure has a reason to give; the guard turns it into the export's code.
#pragma once

#include <cstdint>

#include "platform/status.h"
#include "tq5orvcache.h"

namespace tq5::calls {

// The fixed message of `code`; throws only for want of memory.
void GetTQ5ORVCacheErrorMessage(ResultCode code, char* buffer, uint32_t* length);

platform::Status InitializeTQ5ORVCacheServer();
platform::Status InitializeTQ5ORVCache();
platform::Status UninitializeTQ5ORVCache();
platform::Status InitializeCacheDataSharedMemory();
platform::Status UninitializeCacheDataSharedMemory();
platform::Status WriteCacheDataToFile();

ResultCode PutRoleProperties(int32_t capacity, int32_t highWater, int32_t activeCount);
ResultCode GetRoleProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount);
ResultCode PutUserProperties(int32_t capacity, int32_t highWater, int32_t activeCount);
ResultCode GetUserProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount);
ResultCode PutConfigurationData(int32_t autoCommitRoles, int32_t configValue);
ResultCode GetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue);
ResultCode ClientPutRoleProperties(int32_t capacity, int32_t highWater, int32_t activeCount);
ResultCode ClientGetRoleProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount);
ResultCode ClientPutUserProperties(int32_t capacity, int32_t highWater, int32_t activeCount);
ResultCode ClientGetUserProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount);
ResultCode ClientPutConfigurationData(int32_t autoCommitRoles, int32_t configValue);
ResultCode ClientGetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue);

}  // namespace tq5::calls
