// The administrator's commands on a running cache: refresh one user from the directory,
// drop every cached user, and ask the server for a sweep or a reload now.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "cache_access.h"
#include "commands.h"
#include "host.h"
#include "output.h"
#include "presentation.h"
#include "progress.h"
#include "tq5orvcache_admin.h"

namespace orvcache {

int RunRefresh(const Args& args, bool json) {
  const std::string& domain = args.positional()[0];
  const std::string& user = args.positional()[1];
  const std::string label = UserLabel(domain, user);
  const auto timeoutMs = static_cast<int32_t>(
      args.Has("--timeout") ? ParseInteger(args.Value("--timeout"), 0, INT32_MAX, "--timeout") : 0);
  ClientSession session;
  {
    Progress progress("fetching " + label + " from the directory");
    Check(tq5::admin::RefreshUser(domain.c_str(), user.c_str(), timeoutMs),
          "refreshing " + label, label);
  }
  // Read back as committed; a cached user's admin lookup neither fetches nor records an
  // access.
  std::vector<RoleNameId> roles(TQ5ORVCACHE_MAX_USER_ROLES);
  auto count = static_cast<int32_t>(roles.size());
  Check(ClientFindUserRolesFromAdmin(domain.c_str(), user.c_str(), &count, roles.data(), 0),
        "reading the roles of " + label, label);
  roles.resize(static_cast<std::size_t>(count));
  if (json) {
    Json out = {{"domain", domain}, {"user", user}, {"refreshed", true}, {"roles", Json::array()}};
    for (const RoleNameId& role : roles) {
      out["roles"].push_back({{"name", FieldText(role.name)}, {"id", FieldText(role.id)}});
    }
    PrintJson(out);
    return kExitOk;
  }
  std::printf("%s: fetched from the directory and committed: %s\n", label.c_str(),
              Count(count, "role").c_str());
  PrintUserRoles(roles);
  return kExitOk;
}

int RunInvalidate(const Args& args, bool json) {
  if (!args.Has("--all")) throw UsageError("invalidate drops every cached user: say --all");
  ClientSession session;
  int64_t dropped = 0;
  for (const UserEntry& user : ListUsers()) {
    const std::string domain = FieldText(user.domainName);
    const std::string name = FieldText(user.userName);
    const ResultCode rc = ClientDeleteUserCacheDataSharedMemory(domain.c_str(), name.c_str());
    // A user that went meanwhile (the sweep, another delete) needs no dropping.
    if (rc == CACHE_E_USER_NOT_CACHED) continue;
    Check(rc, "dropping " + UserLabel(domain, name), UserLabel(domain, name));
    ++dropped;
  }
  // Names whose failed fetch was kept are asked of the directory again too.
  Check(tq5::admin::ForgetAllFailedAnswers(), "forgetting the kept failed answers");
  if (json) {
    PrintJson({{"dropped", dropped}});
  } else {
    std::printf("dropped %s from the cache; the role table stays as it was\n",
                Count(dropped, "user").c_str());
  }
  return kExitOk;
}

namespace {

// How long a request may wait for the server to take it: the server looks for requests
// several times a second between its tasks.
constexpr int64_t kRequestTakenWithinMs = 5000;

int SendRequest(host::Request request, bool json) {
  unsigned long pid = 0;
  if (!host::ServerRunning(&pid)) {
    throw ToolError("no cache server is running (start one with `orvcache server`)");
  }
  // The server's own cache file and process, as it published them: a request reaches the
  // server that runs, whatever folder this shell names.
  tq5::admin::Statistics statistics;
  {
    ClientSession session;
    if (!tq5::admin::ReadStatistics(&statistics) || !statistics.server.published) {
      throw ToolError(
          "the running cache server publishes no settings that this orvcache can read (is it "
          "of another version?); ask it with its own orvcache");
    }
  }
  const tq5::admin::ServerSettings& server = statistics.server;
  const std::string& cacheFile = server.cacheFile;
  if (pid == 0) pid = server.processId;
  std::string how, error;
  if (!host::SendRequest(request, pid, cacheFile, &how, &error)) throw ToolError(error);
  const bool reload = request == host::Request::Reload;
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTakenWithinMs);
  while (!host::RequestTaken(request, cacheFile)) {
    if (std::chrono::steady_clock::now() >= until) {
      host::WithdrawRequest(request, cacheFile);
      throw ToolError("the cache server (pid " + std::to_string(pid) + ") did not take the " +
                      (reload ? "reload" : "sweep") + " request within " +
                      FormatDuration(kRequestTakenWithinMs) + " (" + how +
                      "); it is withdrawn. Is the server stuck? Its log may say");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (json) {
    PrintJson({{"request", reload ? "reload" : "sweep"},
               {"sent", how},
               {"pid", pid},
               {"taken", true},
               {"asynchronous", true}});
    return kExitOk;
  }
  std::printf(
      "the cache server (pid %lu) took the request to %s (%s); it does so on its own, "
      "and its log says when\n",
      pid, reload ? "merge the role list and write the cache file now" : "sweep now", how.c_str());
  return kExitOk;
}

}  // namespace

int RunSweepRequest(const Args&, bool json) { return SendRequest(host::Request::Sweep, json); }

int RunReloadRequest(const Args&, bool json) { return SendRequest(host::Request::Reload, json); }

}  // namespace orvcache
