/*
 * tq5orvcache: a machine-wide cache of the security roles that each user holds.
 *
 * One cache server process creates the shared region and the global cache mutex;
 * any number of client processes look users up through the Client exports. Every export
 * but GetTQ5ORVCacheErrorMessage returns a ResultCode: 0 on success, one of the negative
 * codes below on failure. Nothing throws across this boundary. Usable from C (C89 and
 * later) and C++; on Windows link with tq5orvcache.lib (MSVC) or libtq5orvcache.dll.a
 * (mingw), on Linux with -ltq5orvcache.
 *
 * Start-up order
 *
 *   Server (one per machine; `orvcache server` or its Windows service is one):
 *     1. InitializeTQ5ORVCacheServer        creates the global cache mutex
 *     2. InitializeCacheDataSharedMemory    creates the region, from the cache file in
 *                                           MERLOC_GROUP_FOLDER_NAME when it holds a
 *                                           usable one, else empty at default capacities
 *     3. PutAllRolesCacheDataSharedMemory   the directory's complete role list (or
 *                                           UpdateAll... when the region came back with
 *                                           cached users, so that their roles keep slots)
 *     then, on timers of its own choosing: UpdateAllRolesCacheDataSharedMemory (a fresh
 *     role list), UpdateAllCurUserRoles (the expiry sweep), WriteCacheDataToFile;
 *     at the end: WriteCacheDataToFile, UninitializeCacheDataSharedMemory,
 *     UninitializeTQ5ORVCache. The server keeps the region mapped throughout.
 *
 *   Client (any number of processes, each after the server's step 2):
 *     1. InitializeTQ5ORVCache              opens the server's mutex; -141 while no
 *                                           server runs
 *     2. any Client... exports, from any thread; each attaches the region for the call
 *     3. UninitializeTQ5ORVCache
 *
 *   The library starts no thread and sets no timer of its own but the worker that fetches
 *   a user's roles from the directory within a time limit.
 *
 * Conventions
 *
 *   - Server exports (names without "Client") work on the view that the server process
 *     keeps mapped; in any other process they answer CACHE_E_REGION_NOT_MAPPED (-104).
 *     Client exports attach the region for the length of the call (in the server's own
 *     process they use its view) and answer CACHE_E_OPEN_MAPPING (-118) while no region
 *     exists.
 *   - Every call that reaches the region holds the global cache mutex. A process that
 *     skipped the start-up (or whose start-up failed) gets the mutex opened for each
 *     call; while none can be opened, the call answers CACHE_E_MUTEX_OPEN (-141) and
 *     touches nothing.
 *   - count (in and out): the exports that fill a buffer of records take int32_t *count,
 *     on entry the room in the buffer in records, on return the number of records written
 *     or, with CACHE_E_BUFFER_TOO_SMALL (-106), the number needed: call again with a
 *     buffer that large.
 *   - Texts are NUL-terminated 8-bit strings of 1 to 63 characters, compared without
 *     regard to ASCII letter case. A user is the pair (domain name, user name), domain
 *     name first; a role is the pair (name, id).
 *   - Time limits are milliseconds; timeoutMs 0 (or less) means the registry default:
 *     ORV_USER_ROLES_TIMEOUT under the group's key, 60000 when unset.
 *   - Times are signed 32-bit seconds since 1970-01-01 UTC.
 *   - A null pointer where records or names are expected: CACHE_E_INVALID_POINTER (-149).
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
  USER_ROLES_PENDING = 0,     /* the latest fetched set differs and is not committed */
  USER_ROLES_CURRENT = 1,     /* the committed set equals the latest fetched set */
  USER_ROLES_FETCH_FAILED = 2 /* the latest refresh could not fetch; current set empty */
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

/* Anyone, at any time (no start-up needed). Writes the fixed message of `code`,
 * NUL-terminated, into `buffer` of *length bytes. On return *length is the message
 * length + 1 when it fitted, else unchanged and the message is cut to fit. A null
 * pointer or a size of 0 writes nothing. Unknown codes get a message saying so. */
void GetTQ5ORVCacheErrorMessage(ResultCode code, char* buffer, uint32_t* length);

/* ---- Start-up and shut-down --------------------------------------------- */

/* Server, first call. Creates (or opens, when it exists) the global cache mutex.
 * 0 when this process has it already. CACHE_E_MUTEX_CREATE (-137) on failure. */
ResultCode InitializeTQ5ORVCacheServer(void);

/* Client, first call. Opens the mutex that the server created; it creates nothing.
 * 0 when this process has it already (the server's own process included).
 * CACHE_E_MUTEX_OPEN (-141) while no server has started (or this account may not open
 * it). */
ResultCode InitializeTQ5ORVCache(void);

/* Server and client, last call: closes this process's handle of the mutex. Always 0. */
ResultCode UninitializeTQ5ORVCache(void);

/* Server, after InitializeTQ5ORVCacheServer. Creates the region and keeps it mapped
 * until UninitializeCacheDataSharedMemory: built from the cache file
 * <MERLOC_GROUP_FOLDER_NAME>/TQ5ORVCACHE.dat when that is a usable image, else empty
 * with 1024 role and 1024 user slots, autoCommitRoles 1 and configValue 300.
 * CACHE_E_REGION_EXISTS (-101) when this process or another running server holds a
 * region already; -117, -119 when it cannot be created or mapped. */
ResultCode InitializeCacheDataSharedMemory(void);

/* Server, last use of the region: unmaps and closes it. The region ends once no process
 * holds it; only the cache file keeps its data. CACHE_E_REGION_NOT_MAPPED (-104) when
 * this process has no region mapped. */
ResultCode UninitializeCacheDataSharedMemory(void);

/* Server, while it has the region mapped, as often as it likes (and before it shuts
 * the region down). Writes the whole region to the cache file: to a temporary file
 * beside it first, synced, then renamed over the old file, so a failed write never
 * destroys the previous cache. CACHE_E_FILE_CREATE (-114) without a usable path (the
 * variable unset, or a path over 255 characters) or when the file cannot be made,
 * CACHE_E_FILE_WRITE (-115) when it cannot be written, CACHE_E_CORRUPTED (-109) when
 * the region's header no longer describes a region the start-up would accept. */
ResultCode WriteCacheDataToFile(void);

/* ---- Header properties ---------------------------------------------------- */

/* The header's eight figures in three groups: the role table (capacity, high-water mark,
 * in-use count), the user table (the same three) and the configuration
 * (autoCommitRoles: 1 makes the sweep commit a changed role set itself; configValue:
 * kept for the programs that use the cache). Server exports work on the server's view,
 * Client exports attach the region for the call.
 *
 * Put: every argument but -1 is stored (-1 leaves that field unchanged, so -1 itself
 * cannot be stored) and the view is flushed. A Put of a table group whose capacity would
 * differ from the region's real one, or whose mark or count would not fit it, is refused
 * whole with CACHE_E_NO_SPACE (-105): the tables' places cannot move under their users.
 * Get: fills each non-null pointer; a null pointer means "not wanted". */
ResultCode PutRoleProperties(int32_t roleCapacity, int32_t roleHighWater, int32_t roleActiveCount);
ResultCode GetRoleProperties(int32_t* roleCapacity, int32_t* roleHighWater,
                             int32_t* roleActiveCount);
ResultCode PutUserProperties(int32_t userCapacity, int32_t userHighWater, int32_t userActiveCount);
ResultCode GetUserProperties(int32_t* userCapacity, int32_t* userHighWater,
                             int32_t* userActiveCount);
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

/* Server. `roles`: the directory's complete role list, count records with inUse 1,
 * listed 1 and userRefs 0 (in: only name and id are read beyond those). Put rewrites
 * the table from slot 0 (for a table that no cached user points into: at start-up);
 * Update merges, keeping every role already present in its slot, adding new ones in
 * free slots and marking the roles the list no longer names as unlisted (freed once no
 * user holds them). A count of 0 or less does nothing. A list in which any name or id
 * lacks its NUL within its 64 bytes is refused whole with CACHE_E_INVALID_POINTER
 * before anything changes; CACHE_E_NO_SPACE (-105) when the table cannot hold them. */
ResultCode PutAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);
ResultCode UpdateAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles);

/* Listings of the role table: All gives every role in use, Active only those that the
 * latest complete role list named. Server exports read the server's view, Client ones
 * attach the region. On entry *count is the capacity of `roles` in records (in); on
 * return the number of matching roles in the table, whether or not all fitted (out;
 * CACHE_E_BUFFER_TOO_SMALL when not). Never more than the capacity is written. */
ResultCode GetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode GetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode ClientGetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);
ResultCode ClientGetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles);

/* ---- User cache ---------------------------------------------------------- */

/* Client: a user's roles, the question the cache exists for. domainName, userName (in):
 * 1 to 63 characters (CACHE_E_BAD_DOMAIN_NAME -107, CACHE_E_BAD_USER_NAME -108).
 * count (in/out) and roles (out): see Conventions; on success the user's committed roles
 * as RoleNameId records. timeoutMs (in): how long a fetch may take, 0 for the registry
 * default.
 *
 * A cached user is answered from the region and its last access recorded. A user not
 * cached yet is fetched from the directory on a worker thread within the time limit;
 * the roles it holds that the role table knows are stored (a full user table is emptied
 * first) and answered. A failed fetch stores nothing and answers its code:
 * CACHE_E_FETCH_TIMEOUT (-112), CACHE_E_THREAD_CREATE (-111), or the directory's
 * failure (-122 to -126, -142 to -144). A miss holds the global cache mutex through the
 * fetch unless the machine's fetch-outside-lock setting says otherwise. */
ResultCode ClientFindUserRoles(const char* domainName, const char* userName, int32_t* count,
                               RoleNameId* roles, int32_t timeoutMs);

/* Client, for administrators' tools: as ClientFindUserRoles, but the user's last access
 * is left as it is, so that looking does not keep a user from expiring. */
ResultCode ClientFindUserRolesFromAdmin(const char* domainName, const char* userName,
                                        int32_t* count, RoleNameId* roles, int32_t timeoutMs);

/* Client: a cached user's latest fetched role set, which differs from the committed one
 * while the user's status is USER_ROLES_PENDING. Never fetches: CACHE_E_USER_NOT_CACHED
 * (-113) for a user not cached. count and roles as for ClientFindUserRoles. */
ResultCode ClientFindUserCurrentRoles(const char* domainName, const char* userName, int32_t* count,
                                      RoleNameId* roles);

/* Client: every cached user as a whole UserEntry (roles as role-table slots). count
 * (in/out): the room in `users`, then the number of cached users whether or not all
 * fitted (CACHE_E_BUFFER_TOO_SMALL when not). */
ResultCode ClientGetAllUsersCacheDataSharedMemory(int32_t* count, UserEntry* users);

/* Client: drops one user from the cache and releases its roles; the next lookup fetches
 * it again. CACHE_E_USER_NOT_CACHED (-113) when it is not cached. */
ResultCode ClientDeleteUserCacheDataSharedMemory(const char* domainName, const char* userName);

/* Client: commits a cached user's latest fetched role set (filled by the sweep) as the
 * set that ClientFindUserRoles answers, as the sweep itself does when autoCommitRoles is
 * 1. It does not fetch. CACHE_E_USER_ROLES_FAILED (-138) when the user's latest refresh
 * failed; -113 when not cached. */
ResultCode ClientRefreshUserRoles(const char* domainName, const char* userName);

/* Client: sets a cached user's last access (seconds since 1970) and so when the sweep
 * drops it: more than TQ5ORVCACHE_USER_EXPIRY_SECONDS (three days) before the sweep.
 * -113 when not cached. */
ResultCode ClientUpdateOneUserLastAccessTime(int32_t lastAccess, const char* domainName,
                                             const char* userName);

/* Server: the expiry sweep. Drops every user not accessed for three days, then fetches
 * each other user's roles again, one by one, each within timeoutMs (0: the registry
 * default), storing them as the latest fetched set (committed at once when
 * autoCommitRoles is 1, else pending until ClientRefreshUserRoles); a user whose fetch
 * fails is kept with status USER_ROLES_FETCH_FAILED. Lookups go on meanwhile: the
 * fetches run without the global cache mutex. The result is the last refresh's. */
ResultCode UpdateAllCurUserRoles(int32_t timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* TQ5ORVCACHE_H */
