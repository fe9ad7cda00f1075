// The fetch time limit: the registry value ORV_USER_ROLES_TIMEOUT of the historian
// group's key, cached per process once it is positive.
#pragma once

#include <cstdint>
#include <string>

#include "tq5orvcache.h"

namespace tq5::directory {

inline constexpr uint32_t kDefaultUserRolesTimeoutMs = 60000;
inline constexpr const char* kUserRolesTimeoutValue = "ORV_USER_ROLES_TIMEOUT";

// Reads the limit. Whatever it returns, *out holds 60000 unless a nonzero value was read.
// CACHE_E_INVALID_POINTER, CACHE_E_NO_GROUP_ENV, CACHE_E_GROUP_KEY_OPEN,
// CACHE_E_TIMEOUT_KEY_OPEN or CACHE_E_TIMEOUT_KEY_CREATE on failure.
ResultCode ReadUserRolesTimeout(uint32_t* out);

// Reads the limit (60000 after any failure), stores it in the cache and returns it.
int32_t GetUserRolesTimeout();

// The cached limit; 0 until the first GetUserRolesTimeout.
int32_t CachedUserRolesTimeout();

// The limit for one fetch: the caller's own when positive, else the cached one when
// positive, else a fresh read. Call it before taking the process lock.
uint32_t SettleFetchTimeout(int32_t callerTimeoutMs);

// Where the limit that this thread's latest SettleFetchTimeout chose came from, in words
// that follow "the limit" ("that the caller gave", "ORV_USER_ROLES_TIMEOUT of the
// group's registry key ..."), for a time-out's reason. Reads no file.
std::string FetchTimeoutOrigin(uint32_t limitMs);

}  // namespace tq5::directory
