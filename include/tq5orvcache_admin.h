// The administrator's interface to the cache: what the `orvcache` command (the cache
// server among its commands) needs beyond the exports of tq5orvcache.h. It is the static
// library tq5orvcache_admin, which the command and the tests link and the shared library
// does not carry: a client program never needs it.
//
// It speaks the standard library's types and the exports' records. Nothing of the
// region's layout, the platform seam or the library's locks shows through: each call
// takes what it needs and lets it go before it returns, except the two holders at the
// end, which hold for their scope. Failures answer a ResultCode or false with the reason
// in words; the thread's latest failure (LatestFailure) carries the system's own reason
// where there is one. Nothing here throws but std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tq5orvcache.h"

namespace tq5::admin {

// ---- The process -------------------------------------------------------------------
// What the library's load hook does in every process that loads the shared library; a
// program linked with the static library calls it first. False when the process lock
// cannot be made.
bool AttachProcess();

// A failure as the library records it: the code it answered, the call and its object
// and the system's error and words. LatestFailure gives the calling thread's latest;
// empty (code CACHE_OK) when none was recorded.
struct SystemFailure {
  ResultCode code = CACHE_OK;
  long systemError = 0;  // errno or GetLastError(); 0 for a refusal of the library's own
  std::string call;      // the call and its object: "shm_open(/ZOLMAR_ORVCACHE)"
  std::string reason;    // the system's text for systemError, or the library's own words
  // "shm_open(/ZOLMAR_ORVCACHE): Permission denied"
  std::string Text() const { return call + ": " + reason; }
};
SystemFailure LatestFailure();
// The system's words for an error number (errno, or GetLastError() on Windows), from a
// routine that is safe on any thread.
std::string SystemErrorText(long error);

// ---- Text --------------------------------------------------------------------------
// ASCII letters folded, whatever the process's locale: how the library compares names.
std::string LowerAscii(std::string_view text);
// Levenshtein distance, for a suggestion of the nearest known word.
std::size_t EditDistance(std::string_view a, std::string_view b);
// The UTF-8 code point at *at (which must be before the end), which moves past what it
// read; a byte 0x80-0xFF outside a well-formed sequence reads as its escape, the lone
// surrogate U+DC00 plus the byte.
char32_t NextCodePoint(std::string_view text, std::size_t* at);

// ---- The machine's objects ---------------------------------------------------------
enum class CacheObject { Mutex, Region, Statistics, Index };
// The name the system knows it by, with this process's prefix and namespace
// ("/ZOLMAR_ORVCACHE", "Global\\ZOLMAR_ORVCACHE").
std::string ObjectName(CacheObject object);
// The same without the namespace, as a file name may carry it.
std::string ObjectFileName(CacheObject object);

// What an object grants, for people: whether it exists, its owner and its permissions as
// a short text ("root:tq5 rw-rw----" on POSIX, the owner and the entries of its access
// list on Windows).
struct ObjectPermissions {
  bool exists = false;
  bool readable = false;  // false: exists, but this process may not see its permissions
  bool usable = false;    // this process may open it as a client does
  std::string owner;
  std::string permissions;
};
ObjectPermissions DescribeObject(CacheObject object);
// Whether `object` exists and this account is refused it while a group is given it;
// *group names the group.
bool ObjectAccessDenied(CacheObject object, std::string* group);
// The process id of the server that holds the region, as far as this platform can tell;
// 0 when it cannot.
unsigned long RegionServerProcessId();
// Whether a region of this process's prefix can be opened and mapped right now.
bool RegionOpens();

// ---- Settings ----------------------------------------------------------------------
extern const char* const kCacheFolderSetting;  // "cache-folder"
extern const char* const kGroupNameSetting;    // "group-name"
extern const char* const kVersionSetting;      // "zolmar-version"
extern const char* const kAccessSetting;       // "access"
extern const char* const kAccessEveryone;      // "everyone"
extern const char* const kNegativeCacheSetting;
extern const uint32_t kMaxNegativeSeconds;

enum class SettingSource { Default, Environment, Machine };
struct Setting {
  std::string value;  // empty when unset
  SettingSource source = SettingSource::Default;
};
// A setting as the library reads it: this process's variable, else the machine's store.
Setting ReadSetting(const char* name);
// The machine's own value alone; false when it has none.
bool ReadMachineSetting(const char* name, std::string* value);
const std::vector<std::string>& KnownSettingNames();
// The variable that overrides a setting in a process ("MERLOC_GROUP_FOLDER_NAME").
std::string SettingVariable(const char* name);
// Where the machine keeps its settings ("/etc/tq5orvcache/settings", a registry key),
// what kind of store that is, and where one setting lives in it.
std::string SettingsLocation();
const char* MachineStoreKind();
std::string MachineSettingPlace(const char* name);
// What an unset setting means, and how to set one, in words for a message.
std::string UnsetSettingText(const char* name);
std::string SettingHint(const char* name);
// What is wrong with the store as a whole (a line it cannot read, an unknown name);
// SettingsFileProblem is the store's own failure, empty when it reads.
std::vector<std::string> MachineStoreProblems();
std::string SettingsFileProblem();
// A variable of this process, as the library reads it (null when unset).
const char* ProcessVariable(const char* name);
// Whether the access setting names a group that exists; *why otherwise.
bool AccessSettingResolves(std::string* why);
// The latest access problem a start-up met (a group it cannot give an object to), taken.
std::string TakeAccessProblem();
// Whether `value` is one the negative cache's setting takes.
bool NegativeCacheValueValid(const std::string& value);

// ---- The directory file ------------------------------------------------------------
struct DirectoryRole {
  std::string name;
  std::string id;
};
// The complete role list of the directory file at `path`; false with *error naming the
// line when it cannot be read or parsed.
bool ReadDirectoryRoles(const std::string& path, std::vector<DirectoryRole>* roles,
                        std::string* error);

// ---- The fetch limit ---------------------------------------------------------------
extern const char* const kFetchLimitValue;  // "ORV_USER_ROLES_TIMEOUT"
extern const uint32_t kDefaultFetchLimitMs;
enum class KeyState { Ok, NotFound, AccessDenied, Failed };
// The group's key that holds the limit, as ZOLMAR_VERSION and MERLOC_GROUP_NAME name it;
// the library's code when one of them is missing.
ResultCode FetchLimitKey(std::string* key);
// "the folder /etc/tq5orvcache/registry/..." or "the key HKEY_LOCAL_MACHINE\...".
std::string KeyPlace(const std::string& key);
// The value's full place, for messages.
std::string FetchLimitPlace(const std::string& key);
// Reads the value without creating it. Answers how the key opened; when it did,
// *valueState says whether the value is there and *ms holds it.
KeyState ReadFetchLimit(const std::string& key, KeyState* valueState, uint32_t* ms);
// Writes the value; answers how the key opened, and *written whether the write did.
KeyState WriteFetchLimit(const std::string& key, uint32_t ms, bool* written);
// The limit a fetch of this process waits for when its caller gives `callerTimeoutMs`.
uint32_t SettleFetchTimeout(int32_t callerTimeoutMs);

// ---- The cache file ----------------------------------------------------------------
// The cache file's path as the library forms it from MERLOC_GROUP_FOLDER_NAME; false,
// with the reason in *why, when it forms none.
bool CacheFilePath(std::string* path, std::string* why);
// Whether the cache file may be read and written in `folder` (nobody but this account
// and root may write it, or the machine accepts a shared folder); *why says who else may.
bool CacheFolderAccepted(const std::string& folder, std::string* why);

// The start-up's acceptance rule for a cache file, applied without any region: the
// server's start-up builds its region from the file exactly when `usable`.
struct CacheFileCheck {
  bool present = false;  // something (perhaps no regular file) is there
  bool opened = false;
  // There, but this account cannot open it (its permissions, say): not damage, and a
  // start-up that went on would replace it with an empty cache at its first write.
  bool unreadable = false;
  std::string systemReason;  // the failed call and the system's words, when unreadable
  int64_t size = 0;          // bytes in the file
  bool headerRead = false;   // the first 32 bytes were there
  CacheHeader header{};      // valid when headerRead
  int64_t imageBytes = 0;    // bytes that the header's capacities call for
  bool usable = false;
  std::string reason;  // why it is not
};
CacheFileCheck CheckCacheFile(const std::string& path);

// Whether this process's latest region start-up built the region from the cache file,
// and when not, why not (no folder, a folder others may write, the check's reason).
struct RegionOrigin {
  bool fromFile = false;
  std::string file;    // the path it looked at; empty: none
  std::string reason;  // when not from the file
};
RegionOrigin LatestRegionOrigin();

// Findings of the region's invariant check: one line per violation.
struct Findings {
  std::vector<std::string> lines;
  int32_t count = 0;
  bool unbound = false;  // the capacities do not fit the bytes: nothing could be mended
  bool sound() const { return count == 0; }
};

// A usable cache file's tables as the listings of a live region would give them, and
// the invariant check of its image. False, with *why, when the file changed since it
// was checked.
struct CacheFileTables {
  std::vector<RoleEntry> roles;  // in use, below the high-water mark, in slot order
  std::vector<UserEntry> users;
  Findings findings;
};
bool ReadCacheFileTables(const std::string& path, const CacheFileCheck& check,
                         CacheFileTables* tables, std::string* why);

// Writes `text` to `path` whole or not at all, as the cache file is written: a
// temporary file beside it, created new under the writers' name rule, synced and
// renamed over it. The failure's reason in *why.
bool WriteFileWhole(const std::string& path, const std::string& text, std::string* why);
// Whether this account may create a file in `folder` as each write of the cache file
// does: one is made and removed. The failure's reason in *why.
bool FolderWritable(const std::string& folder, std::string* why);

// ---- The live region ---------------------------------------------------------------
// The invariant check of the live region and of the user index beside it, under the
// global cache mutex; with `repair`, what can be derived is mended and the region flushed
// in the same hold. Answers the failure to attach the region, or the flush's.
ResultCode CheckLiveRegion(bool repair, Findings* findings);
// The same repair of the server's own region, in this (the server's) process.
ResultCode RepairServerRegion(Findings* findings);
// The bytes of a region of these capacities.
uint64_t RegionBytes(int32_t roleCapacity, int32_t userCapacity);

// ---- Users -------------------------------------------------------------------------
// Fetches the user from the directory now and commits what it gave.
ResultCode RefreshUser(const char* domainName, const char* userName, int32_t timeoutMs);

// A failed answer of the directory that the negative cache keeps.
struct FailedAnswer {
  std::string domainName;
  std::string userName;
  ResultCode code = CACHE_OK;
  int64_t expiresAt = 0;  // seconds since 1970
};
ResultCode ListFailedAnswers(std::vector<FailedAnswer>* answers);
ResultCode ForgetAllFailedAnswers();

// ---- Statistics --------------------------------------------------------------------
// What is counted, in the order of the statistics object's counters.
enum class Counter : uint32_t {
  Lookups,           // finds of a user's roles that reached the user table
  Hits,              // answered from a cached user
  Misses,            // the user was not cached
  FetchesSucceeded,  // directory fetches, by outcome (lookups, sweeps and refreshes)
  FetchesFailed,
  FetchesTimedOut,
  Evictions,       // the whole user table emptied to make room
  UsersExpired,    // dropped by a sweep
  UsersRefreshed,  // fetched again by a sweep and stored
  Commits,         // a user's current set committed
  Deletes,         // a user deleted on request
  FileWrites,      // cache-file writes that replaced the file
  FileWriteFailures,
  Repairs,          // the region checked and repaired after a mutex owner died
  IndexHits,        // users found through the user index
  IndexMisses,      // users the index did not name that a scan of the table then found
  NegativeAnswers,  // lookups answered with a failed answer kept from an earlier fetch
};
inline constexpr uint32_t kCounterCount = 17;

// The last timed task of a kind.
struct TaskOutcome {
  int64_t endedAt = 0;  // seconds since 1970; 0: none yet
  int64_t durationMs = 0;
  ResultCode result = CACHE_OK;
};

// The settings the running server works with, as it published them at its start.
struct ServerSettings {
  bool published = false;
  unsigned long processId = 0;
  int64_t startedAt = 0;  // seconds since 1970
  int64_t fetchTimeoutMs = 0;
  int64_t rolesIntervalMs = 0;  // 0: never
  int64_t sweepIntervalMs = 0;
  int64_t writeIntervalMs = 0;
  std::string cacheFile;  // empty: runs without a cache file
  std::string directory;  // the provider its role list comes from
  std::string version;
};

struct Statistics {
  int64_t countingSince = 0;  // the server's start, or the last reset
  uint64_t counters[kCounterCount] = {};
  int64_t lastGoodFileWrite = 0;  // 0: none since counting began
  TaskOutcome lastMerge;
  TaskOutcome lastSweep;
  ServerSettings server;

  uint64_t operator[](Counter counter) const { return counters[static_cast<uint32_t>(counter)]; }
};
// The machine's statistics; false when there is no statistics object of this layout (no
// server, or one of another build).
bool ReadStatistics(Statistics* statistics);
// Zeroes the counters and the last file write; *before receives them as they were, in
// the same hold of the mutex.
bool ResetStatistics(Statistics* before);
// The server's own settings, published for `orvcache status`; texts are cut to fit.
bool PublishServerSettings(const ServerSettings& settings);

// ---- A crashed server's leftovers --------------------------------------------------
// Removes what a server that no longer runs left behind: where kernel objects outlive
// their processes, the region's object and the two beside it, the mutex's object with
// `withMutex`, and on every platform the temporary files of writers that died. The
// caller has made sure that no server runs.
struct LeftoverReport {
  struct Kept {
    std::string object;
    std::string reason;
  };
  std::vector<std::string> removed;  // "region object /ZOLMAR_ORVCACHE", "temporary file ..."
  std::vector<Kept> kept;            // what is still there and why
  std::vector<std::string> notes;    // what was not looked at, and warnings
};
LeftoverReport RemoveLeftovers(bool withMutex);

// ---- Holders -----------------------------------------------------------------------
// Holds the global cache mutex for its scope (re-entrantly: the exports a holder calls
// take it again without waiting). status() is the take's code; nothing is held unless it
// is CACHE_OK.
class CacheHold {
 public:
  CacheHold();
  ~CacheHold();
  CacheHold(const CacheHold&) = delete;
  CacheHold& operator=(const CacheHold&) = delete;
  ResultCode status() const;

 private:
  struct Held;
  Held* held_;
};

// Keeps, for its scope, what each fetch of this process brings from the directory, as it
// brought it (the lookup answers only the roles the role table knows).
class FetchWatch {
 public:
  FetchWatch();
  ~FetchWatch();
  FetchWatch(const FetchWatch&) = delete;
  FetchWatch& operator=(const FetchWatch&) = delete;
  // The roles the latest successful fetch brought; empty before one.
  std::vector<RoleNameId> LatestFetched() const;
};

}  // namespace tq5::admin
