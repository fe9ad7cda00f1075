// Who may use the cache's kernel objects and read its file. By default every local user
// may: server and clients run as whatever accounts they like. A machine may instead
// name one group (the "access" setting, "group:NAME"); the server then creates the
// objects so that only that group's members, the system and administrators reach them,
// and the cache file so that nobody outside the group reads it.
#pragma once

#include <string>

#include "platform/status.h"
#include "tq5orvcache_admin.h"

namespace tq5::platform {

struct ObjectAccess {
  bool restricted = false;  // false: every local user (the default)
  std::string groupName;    // the group as the setting names it
  // The group as the system knows it: POSIX, its id; Windows, its SID's bytes.
  unsigned long groupId = 0;
  std::string groupSid;
};

// The setting's name and its two forms.
inline constexpr const char* kAccessSetting = "access";
inline constexpr const char* kAccessEveryone = "everyone";
inline constexpr const char* kAccessGroupPrefix = "group:";

// The group that an "access" value names: "group:NAME" (the prefix in any letter case)
// with a NAME of at least one character. False for anything else, "group:" among them,
// which names no group: the server refuses it, and a refused client names no group.
bool AccessGroupOf(const std::string& value, std::string* group);

// Reads the "access" setting and finds its group. False, with the reason in words, when
// the value is neither form or the group is unknown; *access is then left as it was.
bool ResolveObjectAccess(ObjectAccess* access, std::string* why);

// Finds the group `name` in the system's accounts (each platform has its own). False,
// with the reason in words, when there is no such group.
bool ResolveAccessGroup(const std::string& name, ObjectAccess* access, std::string* why);

// Why the latest start-up step of this process failed on access (the setting, its group,
// an object that cannot be given to the group), in words, or an empty text; taking it
// clears it. The start-up's result code says only that it failed.
void NoteAccessProblem(const std::string& why);
std::string TakeAccessProblem();
// Refuses a step for a reason of access: `why` is noted as above and is the step's (and
// so the thread's latest) failure, under `code`.
Status RefuseAccess(ResultCode code, const char* call, const std::string& object,
                    const std::string& why);

// What the kernel object `baseName` grants, for people: whether it exists, its owner and
// its permissions as a short text ("root:tq5 rw-rw----" on POSIX, the owner and the
// entries of its access list on Windows). The admin interface hands it on as it is.
using admin::ObjectPermissions;
ObjectPermissions DescribeObject(const char* baseName);

// Whether this process was refused the kernel object `baseName` because of its access
// list (rather than because there is none). *group receives the group that may use it,
// when the platform can tell, else an empty text.
bool ObjectAccessDenied(const char* baseName, std::string* group);

// Whether accounts other than this process's own and root (on Windows: SYSTEM and the
// Administrators) may add, rename or remove files in `folder`, or (POSIX) replace the
// folder by writing one above it: then any of them could put a file or a link where the
// cache is written and read. *who says who may, or why it cannot be told (which counts
// as true). A folder that does not exist is nobody's to write (false).
bool FolderWritableByOthers(const std::string& folder, std::string* who);

}  // namespace tq5::platform
