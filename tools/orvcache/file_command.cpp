// `orvcache file inspect PATH`: a cache file read without any region, judged by the
// start-up's own rule, summarised or dumped.
#include <cstdio>

#include "cache_access.h"
#include "commands.h"
#include "output.h"
#include "presentation.h"

namespace orvcache {
namespace {

// The entries below the marks of a usable file's image, as the listings of a live region
// would give them, and what a reader of the region would stumble on.
tq5::admin::CacheFileTables ReadTables(const std::string& path, const CacheFileCheck& check) {
  tq5::admin::CacheFileTables tables;
  std::string why;
  if (!tq5::admin::ReadCacheFileTables(path, check, &tables, &why)) throw ToolError(why);
  return tables;
}

Json HeaderJson(const CacheHeader& h) {
  return {{"roleCapacity", h.roleCapacity},       {"roleHighWater", h.roleHighWater},
          {"roleActiveCount", h.roleActiveCount}, {"userCapacity", h.userCapacity},
          {"userHighWater", h.userHighWater},     {"userActiveCount", h.userActiveCount},
          {"autoCommitRoles", h.autoCommitRoles}, {"configValue", h.configValue}};
}

void PrintHeader(const CacheHeader& h) {
  Table table({"TABLE", "CAPACITY", "HIGH-WATER", "IN USE"}, {false, true, true, true});
  table.Add({"roles", std::to_string(h.roleCapacity), std::to_string(h.roleHighWater),
             std::to_string(h.roleActiveCount)});
  table.Add({"users", std::to_string(h.userCapacity), std::to_string(h.userHighWater),
             std::to_string(h.userActiveCount)});
  table.Print();
  std::printf("autoCommitRoles %d, configValue %d\n", h.autoCommitRoles, h.configValue);
}

}  // namespace

int RunFileInspect(const Args& args, bool json) {
  const std::string& path = args.positional()[0];
  const bool dump = args.Has("--dump");
  const CacheFileCheck check = CheckCacheFile(path);
  if (!check.opened) throw Failure(CACHE_E_FILE_OPEN, "inspecting " + path);

  tq5::admin::CacheFileTables tables;
  if (check.usable) tables = ReadTables(path, check);
  const int64_t now = NowSeconds();
  int current = 0, pending = 0, failed = 0, expired = 0, listed = 0;
  for (const UserEntry& user : tables.users) {
    current += user.status == USER_ROLES_CURRENT;
    pending += user.status == USER_ROLES_PENDING;
    failed += user.status == USER_ROLES_FETCH_FAILED;
    expired += ExpiresAt(user.lastAccess) <= now;
  }
  for (const RoleEntry& role : tables.roles) listed += role.listed == 1;
  const int64_t extra = check.usable ? check.size - check.imageBytes : 0;
  const RoleSlots bySlot = BySlot(tables.roles);

  if (json) {
    Json out = {{"path", path},
                {"bytes", check.size},
                {"usable", check.usable},
                {"reason", check.usable ? Json(nullptr) : Json(check.reason)},
                {"header", check.headerRead ? HeaderJson(check.header) : Json(nullptr)}};
    if (check.usable) {
      out["summary"] = {{"roles", tables.roles.size()}, {"listedRoles", listed},
                        {"users", tables.users.size()}, {"current", current},
                        {"pending", pending},           {"fetchFailed", failed},
                        {"expired", expired},           {"ignoredBytes", extra}};
      out["notes"] = tables.findings.lines;
      if (dump) {
        out["roles"] = Json::array();
        for (const RoleEntry& role : tables.roles) out["roles"].push_back(RoleJson(role));
        out["users"] = Json::array();
        for (const UserEntry& user : tables.users) {
          out["users"].push_back(UserJson(user, bySlot, now));
        }
      }
    }
    PrintJson(out);
    return check.usable ? kExitOk : kExitUnusableFile;
  }

  std::printf("%s: %lld bytes\n", path.c_str(), static_cast<long long>(check.size));
  if (!check.usable) {
    std::printf(
        "unusable: %s\na starting server would build a default region instead "
        "(1024 role slots, 1024 user slots, nothing cached)\n",
        check.reason.c_str());
    if (check.headerRead) PrintHeader(check.header);
    return kExitUnusableFile;
  }
  std::printf("usable: a starting server builds its region from this file\n");
  PrintHeader(check.header);
  std::printf("%s (%d listed); %s: %d current, %d pending, %d fetch-failed; %d due to expire\n",
              Count(static_cast<int64_t>(tables.roles.size()), "role").c_str(), listed,
              Count(static_cast<int64_t>(tables.users.size()), "user").c_str(), current, pending,
              failed, expired);
  if (extra > 0)
    std::printf("%lld bytes after the tables are ignored\n", static_cast<long long>(extra));
  for (const std::string& note : tables.findings.lines) std::printf("note: %s\n", note.c_str());
  if (dump) {
    std::printf("\n");
    PrintRoles(tables.roles);
    std::printf("\n");
    PrintUsers(tables.users, bySlot, now);
  }
  return kExitOk;
}

}  // namespace orvcache
