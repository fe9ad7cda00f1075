/*
 * tq5orvcache: a machine-wide cache of the security roles that each user holds.
 *
 * One cache server process creates the shared region and the global cache mutex;
 * any number of client processes look users up through the Client exports.
 * Every export but GetTQ5ORVCacheErrorMessage returns a ResultCode: 0 on success,
 * one of the negative codes below on failure. Nothing throws across this boundary.
 *
 * Usable from C (C89 and later) and C++.
 */
#ifndef TQ5ORVCACHE_H
#define TQ5ORVCACHE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t ResultCode;

/* Result codes. Pass any of them to GetTQ5ORVCacheErrorMessage for its message. */
enum {
  CACHE_OK = 0,
  CACHE_E_REGION_EXISTS = -101,
  CACHE_E_REGION_ALREADY_OPEN = -102,
  CACHE_E_REGION_NOT_OPEN = -103,
  CACHE_E_REGION_NOT_MAPPED = -104,
  CACHE_E_NO_SPACE = -105,
  CACHE_E_BUFFER_TOO_SMALL = -106,
  CACHE_E_BAD_DOMAIN_NAME = -107,
  CACHE_E_BAD_USER_NAME = -108,
  CACHE_E_CORRUPTED = -109,
  CACHE_E_ROLE_MISSING = -110,
  CACHE_E_THREAD_CREATE = -111,
  CACHE_E_FETCH_TIMEOUT = -112,
  CACHE_E_USER_NOT_CACHED = -113,
  CACHE_E_FILE_CREATE = -114,
  CACHE_E_FILE_WRITE = -115,
  CACHE_E_FILE_OPEN = -116,
  CACHE_E_CREATE_MAPPING = -117,
  CACHE_E_OPEN_MAPPING = -118,
  CACHE_E_MAP_VIEW = -119,
  CACHE_E_UNMAP_VIEW = -120,
  CACHE_E_FLUSH_VIEW = -121,
  CACHE_E_USER_FETCH_COINIT = -122,
  CACHE_E_USER_FETCH_CREATE_ADMIN = -123,
  CACHE_E_USER_FETCH_CALL = -124,
  CACHE_E_USER_FETCH_ALLOC = -125,
  CACHE_E_USER_FETCH_NAME_TOO_LONG = -126,
  CACHE_E_NO_GROUP_ENV = -127,
  CACHE_E_GROUP_KEY_OPEN = -128,
  CACHE_E_TIMEOUT_KEY_OPEN = -129,
  CACHE_E_TIMEOUT_KEY_CREATE = -130,
  CACHE_E_ALL_FETCH_CREATE_ADMIN = -131,
  CACHE_E_ALL_FETCH_COINIT = -132,
  CACHE_E_ALL_FETCH_TRUSTEES = -133,
  CACHE_E_ALL_FETCH_ALLOC = -134,
  CACHE_E_ALL_FETCH_NAME_TOO_LONG = -135,
  CACHE_E_NO_MEMORY = -136,
  CACHE_E_MUTEX_CREATE = -137,
  CACHE_E_USER_ROLES_FAILED = -138,
  CACHE_E_SECURITY_DESCRIPTOR = -139,
  CACHE_E_SECURITY_DACL = -140,
  CACHE_E_MUTEX_OPEN = -141,
  CACHE_E_USER_FETCH_CREATE_AUTHZ = -142,
  CACHE_E_USER_FETCH_INIT = -143,
  CACHE_E_USER_FETCH_SIZE_MISMATCH = -144,
  CACHE_E_ALL_FETCH_CREATE_AUTHZ = -145,
  CACHE_E_ALL_FETCH_INIT = -146,
  CACHE_E_ALL_FETCH_SIZE_MISMATCH = -147,
  CACHE_E_ALL_FETCH_GET_ALL = -148,
  CACHE_E_INVALID_POINTER = -149
};

/* UserEntry.status */
enum {
  USER_ROLES_PENDING = 0,      /* the latest fetched set differs and is not committed */
  USER_ROLES_CURRENT = 1,      /* the committed set equals the latest fetched set */
  USER_ROLES_FETCH_FAILED = 2  /* the latest refresh could not fetch; current set empty */
};

#define TQ5ORVCACHE_TEXT_SIZE 64
#define TQ5ORVCACHE_MAX_USER_ROLES 128
#define TQ5ORVCACHE_USER_EXPIRY_SECONDS 259200

/*
 * The region layout, which is also the cache file's format: 32-bit little-endian
 * integers and 64-byte NUL-terminated texts, packed back to back without padding.
 * Region = CacheHeader, roleCapacity RoleEntry slots, userCapacity UserEntry slots.
 */
typedef struct CacheHeader {
  int32_t roleCapacity;
  int32_t roleHighWater;
  int32_t roleActiveCount;
  int32_t userCapacity;
  int32_t userHighWater;
  int32_t userActiveCount;
  int32_t autoCommitRoles;
  int32_t configValue;
} CacheHeader;

typedef struct RoleEntry {
  int32_t inUse;
  int32_t listed;
  int32_t userRefs;
  int32_t slot;
  char name[TQ5ORVCACHE_TEXT_SIZE];
  char id[TQ5ORVCACHE_TEXT_SIZE];
} RoleEntry;

typedef struct UserEntry {
  int32_t inUse;
  int32_t roleCount;
  int32_t roleSlots[TQ5ORVCACHE_MAX_USER_ROLES];
  int32_t currentRoleCount;
  int32_t currentRoleSlots[TQ5ORVCACHE_MAX_USER_ROLES];
  int32_t status;
  int32_t slot;
  int32_t lastAccess;
  char domainName[TQ5ORVCACHE_TEXT_SIZE];
  char userName[TQ5ORVCACHE_TEXT_SIZE];
} UserEntry;

/* A role as handed to callers: the same bytes as RoleEntry from its offset 16. */
typedef struct RoleNameId {
  char name[TQ5ORVCACHE_TEXT_SIZE];
  char id[TQ5ORVCACHE_TEXT_SIZE];
} RoleNameId;

#if defined(__cplusplus)
#define TQ5ORVCACHE_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TQ5ORVCACHE_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#else
#define TQ5ORVCACHE_CHECK_JOIN2(a, b) a##b
#define TQ5ORVCACHE_CHECK_JOIN(a, b) TQ5ORVCACHE_CHECK_JOIN2(a, b)
#define TQ5ORVCACHE_LAYOUT_CHECK(cond, what) \
  typedef char TQ5ORVCACHE_CHECK_JOIN(tq5orvcache_layout_check_, __LINE__)[(cond) ? 1 : -1]
#endif

TQ5ORVCACHE_LAYOUT_CHECK(sizeof(CacheHeader) == 32, "CacheHeader size");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(CacheHeader, roleHighWater) == 4, "roleHighWater");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(CacheHeader, roleActiveCount) == 8, "roleActiveCount");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(CacheHeader, userCapacity) == 12, "userCapacity");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(CacheHeader, userHighWater) == 16, "userHighWater");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(CacheHeader, userActiveCount) == 20, "userActiveCount");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(CacheHeader, autoCommitRoles) == 24, "autoCommitRoles");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(CacheHeader, configValue) == 28, "configValue");

TQ5ORVCACHE_LAYOUT_CHECK(sizeof(RoleEntry) == 144, "RoleEntry size");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(RoleEntry, listed) == 4, "RoleEntry.listed");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(RoleEntry, userRefs) == 8, "RoleEntry.userRefs");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(RoleEntry, slot) == 12, "RoleEntry.slot");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(RoleEntry, name) == 16, "RoleEntry.name");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(RoleEntry, id) == 80, "RoleEntry.id");

TQ5ORVCACHE_LAYOUT_CHECK(sizeof(UserEntry) == 1176, "UserEntry size");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, roleCount) == 4, "UserEntry.roleCount");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, roleSlots) == 8, "UserEntry.roleSlots");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, currentRoleCount) == 520, "currentRoleCount");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, currentRoleSlots) == 524, "currentRoleSlots");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, status) == 1036, "UserEntry.status");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, slot) == 1040, "UserEntry.slot");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, lastAccess) == 1044, "UserEntry.lastAccess");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, domainName) == 1048, "UserEntry.domainName");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(UserEntry, userName) == 1112, "UserEntry.userName");

TQ5ORVCACHE_LAYOUT_CHECK(sizeof(RoleNameId) == 128, "RoleNameId size");
TQ5ORVCACHE_LAYOUT_CHECK(offsetof(RoleNameId, id) == 64, "RoleNameId.id");

/* ---- Messages ------------------------------------------------------------ */

/* Writes the fixed message of `code`, NUL-terminated, into `buffer` of *length bytes.
 * On return *length is the message length + 1 when it fitted, else unchanged and the
 * message is cut to fit. A null pointer or a size of 0 writes nothing. */
void GetTQ5ORVCacheErrorMessage(ResultCode code, char* buffer, uint32_t* length);

/* ---- Start-up and shut-down --------------------------------------------- */

ResultCode InitializeTQ5ORVCacheServer(void);
ResultCode InitializeTQ5ORVCache(void);
ResultCode UninitializeTQ5ORVCache(void);
ResultCode InitializeCacheDataSharedMemory(void);
ResultCode UninitializeCacheDataSharedMemory(void);
ResultCode WriteCacheDataToFile(void);

/* ---- Header properties (-1 in a Put leaves a field unchanged) ------------ */

ResultCode PutRoleProperties(int32_t roleCapacity, int32_t roleHighWater, int32_t roleActiveCount);
ResultCode GetRoleProperties(int32_t* roleCapacity, int32_t* roleHighWater, int32_t* roleActiveCount);
ResultCode PutUserProperties(int32_t userCapacity, int32_t userHighWater, int32_t userActiveCount);
ResultCode GetUserProperties(int32_t* userCapacity, int32_t* userHighWater, int32_t* userActiveCount);
ResultCode PutConfigurationData(int32_t autoCommitRoles, int32_t configValue);
ResultCode GetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue);
ResultCode ClientPutRoleProperties(int32_t roleCapacity, int32_t roleHighWater,
                                   int32_t roleActiveCount);
ResultCode ClientGetRoleProperties(int32_t* roleCapacity, int32_t* roleHighWater,
                                   int32_t* roleActiveCount);
ResultCode ClientPutUserProperties(int32_t userCapacity, int32_t userHighWater,
                                   int32_t userActiveCount);
ResultCode ClientGetUserProperties(int32_t* userCapacity, int32_t* userHighWater,
                                   int32_t* userActiveCount);
ResultCode ClientPutConfigurationData(int32_t autoCommitRoles, int32_t configValue);
ResultCode ClientGetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue);

/* ---- Role table ---------------------------------------------------------- */

/* The complete role list, count records with inUse 1, listed 1 and userRefs 0. Put
 * rewrites the table from slot 0; Update keeps every role already present in its slot.
 * A count of 0 or less does nothing. A list in which any name or id lacks its NUL
 * within its 64 bytes is refused whole with CACHE_E_INVALID_POINTER before anything
 * changes. */
ResultCode PutAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);
ResultCode UpdateAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);
/* On entry *count is the capacity of `roles` in records; on return the number of
 * matching roles in the table, whether or not all fitted (CACHE_E_BUFFER_TOO_SMALL when
 * not). Never more than the capacity is written. Null pointers: CACHE_E_INVALID_POINTER. */
ResultCode GetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode GetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode ClientGetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode ClientGetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);

/* ---- User cache ---------------------------------------------------------- */

ResultCode ClientFindUserRoles(const char* domainName, const char* userName, int32_t* count,
                               RoleNameId* roles, int32_t timeoutMs);
ResultCode ClientFindUserRolesFromAdmin(const char* domainName, const char* userName,
                                        int32_t* count, RoleNameId* roles, int32_t timeoutMs);
ResultCode ClientFindUserCurrentRoles(const char* domainName, const char* userName,
                                      int32_t* count, RoleNameId* roles);
ResultCode ClientGetAllUsersCacheDataSharedMemory(int32_t* count, UserEntry* users);
ResultCode ClientDeleteUserCacheDataSharedMemory(const char* domainName, const char* userName);
ResultCode ClientRefreshUserRoles(const char* domainName, const char* userName);
ResultCode ClientUpdateOneUserLastAccessTime(int32_t lastAccess, const char* domainName,
                                             const char* userName);
ResultCode UpdateAllCurUserRoles(int32_t timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* TQ5ORVCACHE_H */
