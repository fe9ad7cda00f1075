// The subcommands other than the server. Each returns the process's exit code and
// throws Failure (a failed export), ToolError or UsageError.
#pragma once

#include "cli.h"

namespace orvcache {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// `file inspect`: a starting server would not build its region from the file.
inline constexpr int kExitUnusableFile = 3;
// `status`, as service status commands answer: a server runs; the region outlived its
// server (clients are answered, nothing maintains it); no server runs; the state could not
// be read.
inline constexpr int kExitStatusRunning = 0;
inline constexpr int kExitStatusOrphaned = 1;
inline constexpr int kExitStatusNotRunning = 3;
inline constexpr int kExitStatusUnknown = 4;

int RunLookup(const Args& args, bool json);
int RunRoles(const Args& args, bool json);
int RunUsers(const Args& args, bool json);
int RunDelete(const Args& args, bool json);
int RunCommit(const Args& args, bool json);
int RunTouch(const Args& args, bool json);
int RunConfig(const Args& args, bool json);
int RunStatus(const Args& args, bool json);
int RunTimeout(const Args& args, bool json);
int RunFileInspect(const Args& args, bool json);
int RunCheck(const Args& args, bool json);
int RunRefresh(const Args& args, bool json);
int RunInvalidate(const Args& args, bool json);
int RunSweepRequest(const Args& args, bool json);
int RunReloadRequest(const Args& args, bool json);
int RunCleanup(const Args& args, bool json);
int RunStats(const Args& args, bool json);
int RunSettings(const Args& args, bool json);

}  // namespace orvcache
