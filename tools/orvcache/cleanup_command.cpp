// `orvcache cleanup`: removes what a crashed server left behind (the admin interface's
// RemoveLeftovers says what, per platform). It refuses while a server runs: cleanup is
// for what no live process holds.
#include <cstdio>

#include "commands.h"
#include "host.h"
#include "output.h"
#include "tq5orvcache_admin.h"

namespace orvcache {

int RunCleanup(const Args& args, bool json) {
  unsigned long pid = 0;
  if (host::ServerRunning(&pid)) {
    throw ToolError("a cache server is running" +
                    (pid != 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                    "; cleanup removes only what a crashed server left");
  }
  const tq5::admin::LeftoverReport report = tq5::admin::RemoveLeftovers(args.Has("--mutex"));
  const int exitCode = report.kept.empty() ? kExitOk : kExitFailure;
  if (json) {
    Json out = {{"removed", report.removed}, {"kept", Json::array()}, {"notes", report.notes}};
    for (const auto& kept : report.kept) {
      out["kept"].push_back({{"object", kept.object}, {"reason", kept.reason}});
    }
    PrintJson(out);
    return exitCode;
  }
  for (const std::string& what : report.removed) std::printf("removed %s\n", what.c_str());
  for (const auto& kept : report.kept) {
    std::printf("kept %s: %s\n", kept.object.c_str(), kept.reason.c_str());
  }
  if (report.removed.empty() && report.kept.empty()) std::printf("nothing left to remove\n");
  for (const std::string& note : report.notes) std::printf("%s\n", note.c_str());
  return exitCode;
}

}  // namespace orvcache
