// The client subcommands: each opens the cache as a client for its one job.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "access_report.h"
#include "cache_access.h"
#include "commands.h"
#include "host.h"
#include "output.h"
#include "presentation.h"
#include "progress.h"
#include "settings_report.h"
#include "statistics_report.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

struct UserName {
  std::string domain;
  std::string user;
};

UserName NamesOf(const Args& args) { return {args.positional()[0], args.positional()[1]}; }

Json UserKeyJson(const UserName& name) { return {{"domain", name.domain}, {"user", name.user}}; }

// Whether the user is cached now, through the only export that never fetches: asked
// for none of its current roles, it answers -113 for a user that is not cached. The
// lookups themselves do not say whether they fetched.
bool IsCached(const UserName& name) {
  RoleNameId unused{};
  int32_t count = 0;
  const ResultCode rc =
      ClientFindUserCurrentRoles(name.domain.c_str(), name.user.c_str(), &count, &unused);
  if (rc == CACHE_OK || rc == CACHE_E_BUFFER_TOO_SMALL) return true;
  if (rc == CACHE_E_USER_NOT_CACHED) return false;
  throw Failure(rc, "looking up " + UserLabel(name.domain, name.user));
}

// The roles this process's latest fetch brought that `answered` lacks: those the role
// table did not know (a group made after the server's last merge of the role list), which
// the lookup dropped.
std::vector<RoleNameId> DroppedRoles(const tq5::admin::FetchWatch& watch,
                                     const std::vector<RoleNameId>& answered) {
  std::vector<RoleNameId> dropped;
  for (const RoleNameId& role : watch.LatestFetched()) {
    const bool kept = std::any_of(answered.begin(), answered.end(), [&](const RoleNameId& a) {
      return FieldText(a.name) == FieldText(role.name) && FieldText(a.id) == FieldText(role.id);
    });
    if (!kept) dropped.push_back(role);
  }
  return dropped;
}

}  // namespace

int RunLookup(const Args& args, bool json) {
  const UserName name = NamesOf(args);
  const bool admin = args.Has("--admin");
  const bool current = args.Has("--current");
  if (admin && current) throw UsageError("--admin and --current exclude each other");
  if (current && args.Has("--timeout")) throw UsageError("--current never fetches: no --timeout");
  const auto timeoutMs = static_cast<int32_t>(
      args.Has("--timeout") ? ParseInteger(args.Value("--timeout"), 0, INT32_MAX, "--timeout") : 0);

  ClientSession session;
  const tq5::admin::FetchWatch watch;
  const std::string label = UserLabel(name.domain, name.user);
  std::vector<RoleNameId> roles(TQ5ORVCACHE_MAX_USER_ROLES);
  int32_t count = 0;
  ResultCode rc = CACHE_OK;
  // A set can outgrow the buffer only in a damaged region; the second call is a hit.
  auto lookUp = [&] {
    for (int attempt = 0; attempt < 2; ++attempt) {
      count = static_cast<int32_t>(roles.size());
      if (current) {
        rc = ClientFindUserCurrentRoles(name.domain.c_str(), name.user.c_str(), &count,
                                        roles.data());
      } else {
        rc = (admin ? ClientFindUserRolesFromAdmin : ClientFindUserRoles)(
            name.domain.c_str(), name.user.c_str(), &count, roles.data(), timeoutMs);
      }
      if (rc != CACHE_E_BUFFER_TOO_SMALL || count <= static_cast<int32_t>(roles.size())) break;
      roles.resize(static_cast<std::size_t>(count));
    }
  };
  // The wait for the cache mutex, behind another process's fetch say, is told apart from
  // the lookup's own work: the mutex is taken first, and a hit is answered inside that
  // hold (the exports take it again, re-entrantly, without waiting). A miss lets it go
  // before it fetches, so that the fetch holds the mutex no longer than the library would.
  const auto start = std::chrono::steady_clock::now();
  auto since = [](std::chrono::steady_clock::time_point from) {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - from)
                                    .count());
  };
  int64_t waitMs = 0;
  int64_t ms = 0;
  bool cached = false;
  {
    Progress progress("waiting for the cache mutex");
    const tq5::admin::CacheHold hold;  // a failed take shows in the lookup's own code
    waitMs = since(start);
    cached = IsCached(name);
    if (cached || current) {
      const auto work = std::chrono::steady_clock::now();
      lookUp();
      ms = since(work);
    }
  }
  if (!cached && !current) {
    Progress progress("fetching " + label + " from the directory");
    const auto work = std::chrono::steady_clock::now();
    lookUp();
    ms = since(work);
  }
  Check(rc, "looking up " + label, label);
  roles.resize(static_cast<std::size_t>(count));
  const std::vector<RoleNameId> dropped =
      cached || current ? std::vector<RoleNameId>() : DroppedRoles(watch, roles);

  const char* source = cached ? "cache" : "directory";
  if (json) {
    Json out = UserKeyJson(name);
    out["set"] = current ? "current" : "committed";
    out["source"] = source;
    out["durationMs"] = ms;
    out["lockWaitMs"] = waitMs;
    out["roles"] = Json::array();
    for (const RoleNameId& role : roles) {
      out["roles"].push_back({{"name", FieldText(role.name)}, {"id", FieldText(role.id)}});
    }
    out["droppedRoles"] = Json::array();
    for (const RoleNameId& role : dropped) {
      out["droppedRoles"].push_back({{"name", FieldText(role.name)}, {"id", FieldText(role.id)}});
    }
    PrintJson(out);
    return kExitOk;
  }
  std::printf("%s: %s%s, %s in %s%s\n", label.c_str(), Count(count, "role").c_str(),
              current ? " in the latest fetched set" : "",
              cached ? "found in the cache" : "fetched from the directory",
              FormatDuration(ms).c_str(),
              waitMs > 0 ? (", after " + FormatDuration(waitMs) +
                            " waiting for the cache mutex, which another process held")
                               .c_str()
                         : "");
  PrintUserRoles(roles);
  if (!dropped.empty()) {
    std::string names;
    for (const RoleNameId& role : dropped) {
      names += (names.empty() ? "" : ", ") + FieldText(role.name) + " (" + FieldText(role.id) + ")";
    }
    std::printf(
        "dropped %s that the directory gave but the role table does not know: %s. Made after "
        "the server's last merge of the role list? `orvcache reload` merges it now; then "
        "`orvcache refresh %s %s`\n",
        Count(static_cast<int64_t>(dropped.size()), "role").c_str(), names.c_str(),
        name.domain.c_str(), name.user.c_str());
  }
  return kExitOk;
}

int RunRoles(const Args& args, bool json) {
  const bool activeOnly = args.Has("--active");
  ClientSession session;
  const std::vector<RoleEntry> roles = ListRoles(Side::Client, activeOnly);
  if (json) {
    Json out = {{"active", activeOnly}, {"count", roles.size()}, {"roles", Json::array()}};
    for (const RoleEntry& role : roles) out["roles"].push_back(RoleJson(role));
    PrintJson(out);
    return kExitOk;
  }
  PrintRoles(roles);
  std::printf("%s %s\n", Count(static_cast<int64_t>(roles.size()), "role").c_str(),
              activeOnly ? "active" : "in use");
  return kExitOk;
}

int RunUsers(const Args&, bool json) {
  ClientSession session;
  const std::vector<UserEntry> users = ListUsers();
  // A second listing, so not one snapshot with the first; a role freed in between shows
  // as a free slot.
  const RoleSlots roles = BySlot(ListRoles(Side::Client, false));
  // The names whose failed fetch is kept (negative-cache-seconds), answered without the
  // directory until they expire.
  std::vector<tq5::admin::FailedAnswer> failed;
  Check(tq5::admin::ListFailedAnswers(&failed), "listing the kept failed answers");
  const int64_t now = NowSeconds();
  if (json) {
    Json out = {{"count", users.size()}, {"users", Json::array()}, {"failed", Json::array()}};
    for (const UserEntry& user : users) out["users"].push_back(UserJson(user, roles, now));
    for (const tq5::admin::FailedAnswer& answer : failed) {
      out["failed"].push_back({{"domain", answer.domainName},
                               {"user", answer.userName},
                               {"code", answer.code},
                               {"expiresAt", FormatTime(answer.expiresAt)}});
    }
    PrintJson(out);
    return kExitOk;
  }
  PrintUsers(users, roles, now);
  std::printf("%s cached\n", Count(static_cast<int64_t>(users.size()), "user").c_str());
  for (const tq5::admin::FailedAnswer& answer : failed) {
    std::printf("  %s: failed answer %d kept for %s more: %s\n",
                UserLabel(answer.domainName, answer.userName).c_str(),
                answer.code, FormatDuration((answer.expiresAt - now) * 1000).c_str(),
                Message(answer.code).c_str());
  }
  if (!failed.empty()) {
    std::printf("%s kept\n", Count(static_cast<int64_t>(failed.size()), "failed answer").c_str());
  }
  return kExitOk;
}

int RunDelete(const Args& args, bool json) {
  const UserName name = NamesOf(args);
  ClientSession session;
  Check(ClientDeleteUserCacheDataSharedMemory(name.domain.c_str(), name.user.c_str()),
        "deleting " + UserLabel(name.domain, name.user));
  if (json) {
    Json out = UserKeyJson(name);
    out["deleted"] = true;
    PrintJson(out);
  } else {
    std::printf("deleted %s from the cache\n", UserLabel(name.domain, name.user).c_str());
  }
  return kExitOk;
}

int RunCommit(const Args& args, bool json) {
  const UserName name = NamesOf(args);
  ClientSession session;
  Check(ClientRefreshUserRoles(name.domain.c_str(), name.user.c_str()),
        "committing the roles of " + UserLabel(name.domain, name.user));
  if (json) {
    Json out = UserKeyJson(name);
    out["committed"] = true;
    PrintJson(out);
  } else {
    std::printf("committed the latest fetched roles of %s\n",
                UserLabel(name.domain, name.user).c_str());
  }
  return kExitOk;
}

int RunTouch(const Args& args, bool json) {
  const UserName name = NamesOf(args);
  const int32_t at = ParseTime(args.Has("--at") ? args.Value("--at") : "now", NowSeconds());
  ClientSession session;
  Check(ClientUpdateOneUserLastAccessTime(at, name.domain.c_str(), name.user.c_str()),
        "setting the last access of " + UserLabel(name.domain, name.user));
  if (json) {
    Json out = UserKeyJson(name);
    out["lastAccess"] = FormatTime(at);
    out["lastAccessEpoch"] = at;
    out["expiresAt"] = FormatTime(ExpiresAt(at));
    PrintJson(out);
  } else {
    std::printf("%s last accessed %s; the sweep drops it from %s\n",
                UserLabel(name.domain, name.user).c_str(), FormatTime(at).c_str(),
                FormatTime(ExpiresAt(at)).c_str());
  }
  return kExitOk;
}

int RunConfig(const Args& args, bool json) {
  // -1 leaves a field unchanged, so it cannot be stored.
  auto value = [&](const char* option) -> int32_t {
    if (!args.Has(option)) return -1;
    const int64_t v = ParseInteger(args.Value(option), INT32_MIN, INT32_MAX, option);
    if (v == -1) throw UsageError(std::string(option) + " cannot be -1, which means unchanged");
    return static_cast<int32_t>(v);
  };
  const int32_t autoCommit = value("--auto-commit");
  const int32_t configValue = value("--config-value");
  ClientSession session;
  const bool set = autoCommit != -1 || configValue != -1;
  if (set) Check(ClientPutConfigurationData(autoCommit, configValue), "setting the configuration");
  int32_t a = 0, c = 0;
  Check(ClientGetConfigurationData(&a, &c), "reading the configuration");
  if (json) {
    PrintJson({{"autoCommitRoles", a}, {"configValue", c}, {"changed", set}});
    return kExitOk;
  }
  std::printf("autoCommitRoles  %d  (%s)\n", a,
              a == 1 ? "a changed role set is committed by the sweep"
                     : "a changed role set waits for `orvcache commit`");
  std::printf("configValue      %d\n", c);
  return kExitOk;
}

namespace {

// Whether a failure to open the cache means only that no server runs: no mutex object,
// or (where the mutex outlives its server) no region. Anything else (an object this
// account may not open, a damaged one) is a failure to tell.
bool NoServerRuns(ResultCode code) {
  if (code == CACHE_E_MUTEX_OPEN) {
    return !tq5::admin::DescribeObject(tq5::admin::CacheObject::Mutex).exists;
  }
  if (code == CACHE_E_OPEN_MAPPING) {
    return !tq5::admin::DescribeObject(tq5::admin::CacheObject::Region).exists;
  }
  return false;
}

constexpr const char* kNoServerRunning = "no cache server is running";

int PrintNotRunning(bool json) {
  if (json) {
    PrintJson({{"state", "not-running"},
               {"exitCode", kExitStatusNotRunning},
               {"message", kNoServerRunning},
               {"machineValues", MachineValuesJson()}});
    return kExitStatusNotRunning;
  }
  std::printf("%s (start one with `orvcache server`)\n", kNoServerRunning);
  PrintMachineValues();
  return kExitStatusNotRunning;
}

}  // namespace

int RunStatus(const Args&, bool json) {
  std::optional<ClientSession> session;
  CacheHeader h{};
  int32_t active = 0;
  try {
    session.emplace();
    h = ReadHeader(Side::Client);
    active = CountActiveRoles(Side::Client);
  } catch (Failure& failure) {
    if (NoServerRuns(failure.code())) return PrintNotRunning(json);
    throw failure.WithExitCode(kExitStatusUnknown);
  }
  std::string why;
  const std::string file = CacheFilePath(&why);
  std::error_code error;
  const bool fileExists = !file.empty() && std::filesystem::exists(file, error);
  const auto fileSize = fileExists ? std::filesystem::file_size(file, error) : 0;
  int64_t modified = 0;
  const bool haveModified = fileExists && host::FileModified(file, &modified);
  const auto bytes = static_cast<int64_t>(tq5::admin::RegionBytes(h.roleCapacity, h.userCapacity));
  tq5::admin::Statistics statistics;
  const tq5::admin::Statistics* stats =
      tq5::admin::ReadStatistics(&statistics) ? &statistics : nullptr;
  // The region answers whether or not its server lives: only the server's liveness says
  // whether anyone still maintains it.
  const bool published = stats && stats->server.published;
  unsigned long livePid = 0;
  const bool alive = host::ServerAlive(published ? stats->server.processId : 0,
                                       published ? stats->server.startedAt : 0, &livePid);
  const int exitCode = alive ? kExitStatusRunning : kExitStatusOrphaned;

  if (json) {
    Json out = {{"state", alive ? "running" : "orphaned"},
                {"exitCode", exitCode},
                {"roles",
                 {{"capacity", h.roleCapacity},
                  {"highWater", h.roleHighWater},
                  {"inUse", h.roleActiveCount},
                  {"active", active}}},
                {"users",
                 {{"capacity", h.userCapacity},
                  {"highWater", h.userHighWater},
                  {"inUse", h.userActiveCount}}},
                {"autoCommitRoles", h.autoCommitRoles},
                {"configValue", h.configValue},
                {"regionBytes", bytes},
                {"machineValues", MachineValuesJson()},
                {"cacheFile", file.empty() ? Json(nullptr) : Json(file)},
                {"cacheFileBytes", fileExists ? Json(fileSize) : Json(nullptr)},
                {"cacheFileWritten", haveModified ? Json(FormatTime(modified)) : Json(nullptr)},
                {"access", ObjectAccessJson()},
                {"hitRatio", stats ? HitRatioJson(*stats) : Json(nullptr)},
                {"server", ServerJson(stats, alive)}};
    PrintJson(out);
    return exitCode;
  }
  Table table({"TABLE", "CAPACITY", "HIGH-WATER", "IN USE", "ACTIVE", "FILL", "MARK"},
              {false, true, true, true, true, true, true});
  table.Add({"roles", std::to_string(h.roleCapacity), std::to_string(h.roleHighWater),
             std::to_string(h.roleActiveCount), std::to_string(active),
             Percent(h.roleActiveCount, h.roleCapacity), Percent(h.roleHighWater, h.roleCapacity)});
  table.Add({"users", std::to_string(h.userCapacity), std::to_string(h.userHighWater),
             std::to_string(h.userActiveCount), "-", Percent(h.userActiveCount, h.userCapacity),
             Percent(h.userHighWater, h.userCapacity)});
  table.Print();
  std::printf("\nautoCommitRoles  %d\nconfigValue      %d\nregion           %lld bytes\n",
              h.autoCommitRoles, h.configValue, static_cast<long long>(bytes));
  PrintMachineValues();
  if (file.empty()) {
    std::printf("cache file       none (%s)\n", why.c_str());
  } else if (!fileExists) {
    std::printf("cache file       %s (not written yet)\n", file.c_str());
  } else {
    std::printf("cache file       %s (%llu bytes%s)\n", file.c_str(),
                static_cast<unsigned long long>(fileSize),
                haveModified ? (", written " + FormatTime(modified)).c_str() : "");
  }
  PrintObjectAccess();
  if (stats) std::printf("hit ratio        %s\n", HitRatioText(*stats).c_str());
  PrintServer(stats, alive);
  return exitCode;
}

}  // namespace orvcache
