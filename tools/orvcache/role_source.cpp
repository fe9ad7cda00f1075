#include "role_source.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_set>

#include "host.h"
#include "output.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

constexpr const char* kFilePrefix = "file:";

// Adds one role unless a role that differs only in ASCII case is there already: the
// load would keep both and the merge would fold them, so the list folds them first.
void Add(const std::string& name, const std::string& id, RoleList* list,
         std::unordered_set<std::string>* seen) {
  const std::string storedName = host::DirectoryText(name);
  const std::string storedId = host::DirectoryText(id);
  if (storedName.empty() || storedId.empty() || storedName.size() >= TQ5ORVCACHE_TEXT_SIZE ||
      storedId.size() >= TQ5ORVCACHE_TEXT_SIZE) {
    ++list->skipped;
    return;
  }
  // Neither text holds a NUL, so one joins the two unambiguously.
  if (!seen->insert(tq5::admin::LowerAscii(storedName) + '\0' +
                    tq5::admin::LowerAscii(storedId))
           .second)
    return;
  RoleEntry role{};
  role.inUse = 1;
  role.listed = 1;
  std::memcpy(role.name, storedName.c_str(), storedName.size() + 1);
  std::memcpy(role.id, storedId.c_str(), storedId.size() + 1);
  list->roles.push_back(role);
}

}  // namespace

std::string DirectoryChoice(const std::string& option) {
  if (!option.empty()) return option;
  return tq5::admin::ReadSetting("directory").value;
}

std::string MissingRoleSource(const std::string& choice) {
  if (!choice.empty() || !host::DefaultDirectory().empty()) return "";
  return "no role list to serve: name its directory file with --directory file:PATH (or the "
         "machine's setting TQ5ORVCACHE_DIRECTORY under " +
         tq5::admin::SettingsLocation() +
         "); this system keeps no group database to take roles from";
}

RoleList ReadRoleList(const std::string& choice, Progress* progress) {
  RoleList list;
  std::unordered_set<std::string> seen;
  const std::size_t prefixLength = std::strlen(kFilePrefix);
  if (choice == "nss" || (choice.empty() && host::DefaultDirectory() == "nss")) {
    std::vector<host::Group> groups;
    std::string error;
    if (!host::ListGroupDatabase(&groups, &error, [progress](std::size_t n) {
          if (progress) progress->Set(static_cast<int64_t>(n));
        })) {
      throw ToolError(error);
    }
    list.source = "the group database";
    if (progress) {
      progress->SetLabel("sorting the role list");
      progress->SetTotal(static_cast<int64_t>(groups.size()));
    }
    for (std::size_t i = 0; i < groups.size(); ++i) {
      Add(groups[i].name, groups[i].id, &list, &seen);
      if (progress) progress->Set(static_cast<int64_t>(i + 1));
    }
    return list;
  }
  if (choice.compare(0, prefixLength, kFilePrefix) == 0 &&
      std::filesystem::path(choice.substr(prefixLength)).is_absolute()) {
    const std::string path = choice.substr(prefixLength);
    std::vector<tq5::admin::DirectoryRole> roles;
    std::string error;
    if (!tq5::admin::ReadDirectoryRoles(path, &roles, &error)) {
      throw ToolError("directory file " + path + ": " + error);
    }
    list.source = "file " + path;
    if (progress) progress->SetTotal(static_cast<int64_t>(roles.size()));
    for (std::size_t i = 0; i < roles.size(); ++i) {
      Add(roles[i].name, roles[i].id, &list, &seen);
      if (progress) progress->Set(static_cast<int64_t>(i + 1));
    }
    return list;
  }
  throw ToolError("unknown directory \"" + choice +
                  "\": use nss (the group database) or file:/absolute/path");
}

}  // namespace orvcache
