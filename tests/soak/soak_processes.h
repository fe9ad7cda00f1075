// Processes of the soak: started with their output in a log file, killed with SIGKILL,
// waited for within a deadline. Every child dies with the driver.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tq5::soak {

// Starts argv[0] (a path) with stdin from /dev/null and stdout and stderr appended to
// `logPath`. -1 when fork fails.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath);

// The outcome of a process that has ended.
struct Ended {
  bool ended = false;  // false: still running (or not ours)
  bool signaled = false;
  int code = 0;  // exit code, or the signal's number
  std::string Describe() const;
};

// Reaps `pid` if it has ended, without waiting.
Ended Poll(pid_t pid);
// Waits up to `ms` for `pid` to end; not ended when the deadline passes.
Ended WaitFor(pid_t pid, int ms);
// SIGKILL and reap.
Ended KillNow(pid_t pid);

// Runs a command to its end within `ms`, its output (stdout and stderr) captured.
// Killed when the deadline passes (timedOut).
struct CommandRun {
  Ended end;
  bool timedOut = false;
  std::string output;
};
CommandRun RunCommand(const std::vector<std::string>& argv, const std::string& logPath, int ms);

std::string ReadFile(const std::string& path);
// The last `bytes` of a file, for reports.
std::string Tail(const std::string& path, std::size_t bytes);

// Removes every POSIX shared-memory object whose name begins with `prefix`.
int UnlinkSharedObjects(const std::string& prefix);

}  // namespace tq5::soak
