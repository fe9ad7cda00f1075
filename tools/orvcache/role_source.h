// The complete role list that the server hands to the cache, from the directory that
// lookups fetch from: the machine's group database (POSIX) or a directory file.
#pragma once

#include <string>
#include <vector>

#include "progress.h"
#include "tq5orvcache.h"

namespace orvcache {

struct RoleList {
  std::vector<RoleEntry> roles;  // inUse 1, listed 1, userRefs 0: as the load takes them
  std::string source;            // for log lines: "the group database", "file /x/dir.txt"
  int skipped = 0;               // roles whose name or id does not fit the 63 characters
};

// The directory that `choice` names, in the form of the "directory" setting: empty or
// "nss" for the group database, "file:/absolute/path" for a directory file. ToolError for
// anything else.
RoleList ReadRoleList(const std::string& choice, Progress* progress);

// The choice that a server takes: the option when given, else the machine-wide
// "directory" setting, which every process's lookups follow.
std::string DirectoryChoice(const std::string& option);

// What is missing when `choice` names no source and the platform has no default one
// (Windows), where a server would have no role list to serve; empty otherwise.
std::string MissingRoleSource(const std::string& choice);

}  // namespace orvcache
