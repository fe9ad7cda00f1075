// The platform seam: the only interface through which the cache reaches the operating
// system. One implementation per platform (posix/, win32/), chosen at build time.
// Nothing above this layer includes system headers beyond the C and C++ libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/object_access.h"
#include "platform/status.h"
#include "tq5orvcache.h"

namespace tq5::platform {

// Base names of the machine-wide kernel objects.
inline constexpr const char* kCacheMutexName = "ZOLMAR_ORVCACHE_MUTEX";
inline constexpr const char* kSectionName = "ZOLMAR_ORVCACHE";
inline constexpr const char* kStatisticsName = "ZOLMAR_ORVCACHE_STATS";
inline constexpr const char* kIndexName = "ZOLMAR_ORVCACHE_INDEX";

// The full name of a kernel object: the platform's machine-wide namespace, then the
// value of TQ5ORVCACHE_OBJECT_PREFIX when it is set and not empty (test isolation),
// then the base name.
std::string ObjectName(const char* baseName);
// Whether `name` is what ObjectName(baseName) gives now; builds nothing.
bool IsObjectName(const std::string& name, const char* baseName);
// Where machine-wide names live ("Global\\" on Windows, "/" on POSIX); each platform
// defines it, and ObjectName, shared by both, puts it in front.
extern const char* const kObjectNamespace;

// ---- Global cache mutex -----------------------------------------------------------
// Machine-wide, found by name, usable by every local user, owned per thread and
// re-entrant, waited on without time limit. When its owner dies the next waiter takes
// it and goes on. Every call that can fail says why in its Status (status.h).
struct GlobalMutex;

// Creates the mutex, or opens it when it exists already (used like a new one), so that
// `access` says who may use it; an existing one is given that access, and refused
// (CACHE_E_MUTEX_CREATE, the reason noted for TakeAccessProblem) when it cannot be.
// Fails with CACHE_E_NO_MEMORY, CACHE_E_SECURITY_DESCRIPTOR, CACHE_E_SECURITY_DACL or
// CACHE_E_MUTEX_CREATE.
Status CreateGlobalMutex(GlobalMutex** out, const ObjectAccess& access = ObjectAccess{});
// Opens an existing mutex; CACHE_E_MUTEX_OPEN when there is none.
Status OpenGlobalMutex(GlobalMutex** out);
void CloseGlobalMutex(GlobalMutex* mutex);

enum class LockOutcome {
  Taken,
  // Taken, but its previous owner died holding it, perhaps in the middle of a change to
  // the region. The mutex reports every later taker so until MarkGlobalMutexConsistent,
  // so that a taker that dies while it repairs leaves the repair to the next one.
  OwnerDied,
  // Not taken (the mutex can no longer be used); the caller must not go on. Why is
  // this thread's latest failure (CACHE_E_MUTEX_OPEN).
  Failed
};
LockOutcome LockGlobalMutex(GlobalMutex* mutex);
// After an OwnerDied take, once the region has been made sound again.
void MarkGlobalMutexConsistent(GlobalMutex* mutex);
void UnlockGlobalMutex(GlobalMutex* mutex);

// ---- Shared section ---------------------------------------------------------------
// The named, machine-wide, read-write block that holds the cache region, as the server
// that creates it holds it: these calls open, map, unmap and close exactly what they say.
struct Section;

// Creates the section of `size` bytes, zero-filled, usable by those `access` names, and
// marks it as held by a live server for as long as this process holds it. Fails with
// CACHE_E_REGION_EXISTS while another live process holds a section under the name
// (which is left untouched); a leftover of a process that has died is replaced. Other
// failures: CACHE_E_NO_MEMORY, CACHE_E_SECURITY_DESCRIPTOR, CACHE_E_SECURITY_DACL or
// CACHE_E_CREATE_MAPPING. Servers create it holding the global cache mutex, so that
// clients' views of an older region are let go.
Status CreateSection(uint32_t size, Section** out, const ObjectAccess& access = ObjectAccess{});
// The process id of the live server that holds the section, or 0 when there is none or
// the platform cannot tell.
unsigned long RegionServerProcessId();
// Maps the whole section with write access. *size receives the number of bytes of the
// view that may be read and written; it is at least the section's size.
// CACHE_E_MAP_VIEW on failure.
Status MapSection(Section* section, void** view, std::size_t* size);
// Whether the section still holds the `size` bytes of a view of it: where any process
// that may write an object can also shrink it (POSIX), a page past its new end can no
// longer be touched. CACHE_E_MAP_VIEW, the view untouched, when it does not.
// A view that a fault left with private pages is mapped from the section again once it
// holds all of it.
Status CheckSectionSize(Section* section, void* view, std::size_t size);
Status UnmapSection(Section* section, void* view, std::size_t size);  // CACHE_E_UNMAP_VIEW
Status FlushView(void* view, std::size_t size);                       // CACHE_E_FLUSH_VIEW
// Closes the handle and removes the section's name where names outlive their handles,
// so that later acquires fail.
void CloseSection(Section* section);

// ---- A client's view of the region ----------------------------------------------------
// What a call that is not the server's uses: a view of the region some server created,
// acquired with the global cache mutex held and released before the call lets the
// mutex go. How a platform provides it is its own affair: Windows opens and maps the
// section at every acquire and unmaps and closes it at the release; POSIX keeps the
// view between calls while it is still the current region (kept_views_posix.cpp).
struct RegionView;

// The view and its usable bytes (at least the section's size): CACHE_E_OPEN_MAPPING when
// there is no region, CACHE_E_MAP_VIEW when it cannot be mapped.
Status AcquireRegionView(RegionView** out, void** base, std::size_t* size);
void ReleaseRegionView(RegionView* view);

// ---- Leftovers of a crashed server -------------------------------------------------
// Where names outlive their handles (POSIX), a server that crashed leaves its objects
// behind; where they do not (Windows), there is never anything to remove. The server's
// start-up replaces such a leftover; `orvcache cleanup` removes them (src/admin/).
enum class Leftover {
  None,     // no object under the name
  Removed,  // a leftover, now removed
  InUse,    // a live process holds it; left as it is
  Failed    // could not be removed (*detail says why)
};

// ---- Objects beside the region -----------------------------------------------------
// Small named read-write blocks beside the region: the statistics, in which every
// process counts what it does and the server publishes its settings, and the user index,
// which finds a user's slot without a scan. The server makes them with the region and
// removes them with the region; their bytes are the caller's (region/statistics.h,
// region/user_index.h).
enum class SideObjectKind : int { Statistics = 0, Index = 1 };
inline constexpr int kSideObjectKinds = 2;
inline const char* SideObjectBaseName(SideObjectKind kind) {
  return kind == SideObjectKind::Statistics ? kStatisticsName : kIndexName;
}
struct SideObject;

// Creates the object of `size` bytes, zero-filled, usable by those `access` names, and
// maps it into *view until CloseSideObject. The caller holds the global cache mutex and
// has just created the region, so an object already under the name is no live server's:
// a leftover is replaced where names outlive handles; where they do not, one that
// clients still hold is used again (the caller then writes it afresh). Fails with
// CACHE_E_NO_MEMORY, CACHE_E_SECURITY_DESCRIPTOR, CACHE_E_SECURITY_DACL or
// CACHE_E_CREATE_MAPPING (also when the object clients hold is smaller than `size`).
ResultCode CreateSideObject(SideObjectKind kind, uint32_t size, SideObject** out, void** view,
                            const ObjectAccess& access = ObjectAccess{});
// Unmaps it, closes the handle and, where names outlive handles, removes the name while
// it still names this object.
void CloseSideObject(SideObject* object);
// The object of the current region as this handle of the global cache mutex keeps it
// mapped, or null when there is none (or it is smaller than `size`); *mapped, when
// given, receives the bytes of the mapping. The caller holds `guard`. The object is
// opened and mapped once per handle and again only when a server has made a new region
// since, so that a call that finds it mapped allocates nothing. The mapping goes when
// the handle is closed.
void* SideObjectView(GlobalMutex* guard, SideObjectKind kind, uint32_t size,
                     std::size_t* mapped = nullptr);

// The statistics object by its own names, as most callers know it.
using StatisticsObject = SideObject;
inline ResultCode CreateStatisticsObject(uint32_t size, StatisticsObject** out, void** view,
                                         const ObjectAccess& access = ObjectAccess{}) {
  return CreateSideObject(SideObjectKind::Statistics, size, out, view, access);
}
inline void CloseStatisticsObject(StatisticsObject* object) { CloseSideObject(object); }
inline void* StatisticsView(GlobalMutex* guard, uint32_t size) {
  return SideObjectView(guard, SideObjectKind::Statistics, size);
}

// ---- Faults in shrunk objects ----------------------------------------------------------
// Where any process that may write a shared object may also shrink it (POSIX), a mapped
// page past the object's new end faults when touched, also between a call's size check
// and its access. While a thread is inside a CallGuard, such a fault inside one of the
// library's own mappings gets private zero pages instead of the signal, and that mapping
// is never handed to a later call as it is; every other fault goes to the handler the
// process had. Windows sections never shrink: nothing to guard there.
void EnterGuardedCall();
void LeaveGuardedCall();
// Whether such a fault met this thread's latest call (the outermost guard that began
// last): the call then worked on zeros, not on the object's bytes.
bool CallFaulted();
struct CallGuard {
  CallGuard() { EnterGuardedCall(); }
  ~CallGuard() { LeaveGuardedCall(); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
};

// ---- Process lock -----------------------------------------------------------------
// A re-entrant mutex private to the process.
struct ProcessMutex;

ProcessMutex* CreateProcessMutex();  // null on failure
void DestroyProcessMutex(ProcessMutex* mutex);
void LockProcessMutex(ProcessMutex* mutex);
void UnlockProcessMutex(ProcessMutex* mutex);

// ---- Environment and files --------------------------------------------------------

// The historian runtime's environment lookup: the value, or null when not set.
const char* zv_getenv(const char* name);

// The separator between a folder and a file name in paths.
extern const char kPathSeparator;

// A number that tells this process apart from every other running process.
unsigned long CurrentProcessId();
// Whether a process of that number runs now, whoever's it is. A number that cannot
// name a single process (0, or beyond the platform's range) runs nowhere.
bool ProcessExists(unsigned long processId);

// ---- Cache file writes ------------------------------------------------------------
// A file open for writing: a descriptor on POSIX, a HANDLE's value on Windows.
using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

// The system calls through which the cache file is written, one entry per call, so
// that a test can make any single step fail and look at what a failure there leaves.
// Each fails as the system call does: false (kNoFile) with errno / GetLastError() set.
struct FileCalls {
  // Creates it anew, readable only by those `access` names when it is restricted; fails
  // (kNoFile, NameTakenError) when the name is taken, by a file or a link, and follows
  // no link.
  FileHandle (*create)(const char* path, const ObjectAccess& access);
  bool (*write)(FileHandle file, const void* bytes, std::size_t size);  // all the bytes
  bool (*sync)(FileHandle file);  // the file's bytes and size on the disk
  bool (*close)(FileHandle file);
  bool (*rename)(const char* from, const char* to);  // replaces `to` when it exists
  // Makes the names in `folder` durable: a rename is on the disk only once its folder
  // is. Nothing to do where the rename itself writes through.
  bool (*syncFolder)(const char* folder);
  // Reads up to `size` bytes of a file open for reading (the cache file's, a settings
  // file's); *got is less only at the end of the file.
  bool (*read)(FileHandle file, void* bytes, std::size_t size, std::size_t* got);
  bool (*remove)(const char* path);  // a file; what a failed write leaves behind
};

// The operating system's own calls (one table per platform).
const FileCalls& SystemFileCalls();
// The calls in use: the system's own, unless a test replaced them.
const FileCalls& Files();
// For tests: puts `calls` in use and returns the ones they replace. No write may run
// meanwhile.
FileCalls ReplaceFileCalls(const FileCalls& calls);

// The names of the system calls behind the table's entries, for failure reports.
struct FileCallNames {
  const char* create;
  const char* write;
  const char* sync;
  const char* close;
  const char* rename;
  const char* syncFolder;
  const char* read;
  const char* remove;
};
extern const FileCallNames kFileCallNames;

// Whether a creation failed because the name was taken already (the system error as a
// Failure keeps it).
bool NameTakenError(long systemError);

// The cache file's steps through the calls in use, each failing with the system's
// reason and the file's path: CACHE_E_FILE_CREATE for the creation, CACHE_E_FILE_WRITE
// for every later step.
Status CreateFileForWriting(const std::string& path, const ObjectAccess& access, FileHandle* out);
Status WriteToFile(FileHandle file, const void* bytes, std::size_t size, const std::string& path);
Status SyncFile(FileHandle file, const std::string& path);
Status CloseFile(FileHandle file, const std::string& path);
// ---- Files read where the wait would hold others up --------------------------------
// Opens an existing file for reading without waiting for anyone: a FIFO, a device or
// anything else that is not a plain file is refused before a byte is read, since a read
// from it could wait or go on for ever. *size receives the file's size. On failure *why
// (when given) says what was found or which call failed; the thread's latest failure
// (status.h) is left as it was, so that a read that finds no file hides no other reason.
enum class FileOpen { Opened, Missing, NotRegular, Failed };
FileOpen OpenRegularFileForReading(const std::string& path, FileHandle* out, uint64_t* size,
                                   std::string* why = nullptr);
// Reads up to `size` bytes through the calls in use; *got is less only at the end of the
// file. False on failure.
bool ReadFromFile(FileHandle file, void* bytes, std::size_t size, std::size_t* got);
// Removes the file through the calls in use; false (the system's error set) on failure.
bool RemoveFile(const std::string& path);
void CloseFileForReading(FileHandle file);

// The names in `folder` (ends with the separator), "." and ".." left out: false when it
// cannot be read. Unlike std::filesystem's iterator, whose forms that may not throw
// allocate, a failed allocation here throws std::bad_alloc and holds nothing open.
bool ListFolder(const std::string& folder, std::vector<std::string>* names);

// Moves `from` over `to` in one step, replacing `to` when it exists, and makes the
// change durable. `to` is either the old file or the new one, never anything between.
// On failure the new file may be in place but not durable.
Status MoveFileOver(const std::string& from, const std::string& to);

}  // namespace tq5::platform
