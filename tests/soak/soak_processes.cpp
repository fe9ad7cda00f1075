#include "soak_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace tq5::soak {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // A driver that dies (a CTest timeout) takes every process of the run with it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (in < 0 || out < 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  execv(args[0], args.data());
  _exit(127);
}

std::string Ended::Describe() const {
  if (!ended) return "still running";
  return signaled ? "killed by signal " + std::to_string(code)
                  : "exit code " + std::to_string(code);
}

namespace {
Ended FromStatus(int status) {
  Ended e;
  e.ended = true;
  e.signaled = WIFSIGNALED(status);
  e.code = e.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
  return e;
}
}  // namespace

Ended Poll(pid_t pid) {
  if (pid <= 0) return Ended{};  // never "any child"
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid ? FromStatus(status) : Ended{};
}

Ended WaitFor(pid_t pid, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const Ended e = Poll(pid);
    if (e.ended || std::chrono::steady_clock::now() >= deadline) return e;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Ended KillNow(pid_t pid) {
  if (pid <= 0) return Ended{};  // never a process group or every process
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Ended{};
  }
  return FromStatus(status);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

CommandRun RunCommand(const std::vector<std::string>& argv, const std::string& logPath, int ms) {
  CommandRun run;
  std::remove(logPath.c_str());
  const pid_t pid = Spawn(argv, logPath);
  if (pid < 0) return run;
  run.end = WaitFor(pid, ms);
  if (!run.end.ended) {
    run.timedOut = true;
    run.end = KillNow(pid);
  }
  run.output = ReadFile(logPath);
  return run;
}

std::string Tail(const std::string& path, std::size_t bytes) {
  const std::string text = ReadFile(path);
  return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

int UnlinkSharedObjects(const std::string& prefix) {
  int removed = 0;
  DIR* dir = opendir("/dev/shm");
  if (!dir) return 0;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) removed += shm_unlink(("/" + name).c_str()) == 0;
  return removed;
}

}  // namespace tq5::soak
