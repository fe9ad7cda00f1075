// The command's operating-system needs on POSIX.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host.h"
#include "tq5orvcache_admin.h"

namespace orvcache::host {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

std::string AccountName() {
  const passwd* account = getpwuid(geteuid());
  return account && account->pw_name ? account->pw_name : std::to_string(geteuid());
}

void SetEnvironment(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

void UnsetEnvironment(const char* name) { unsetenv(name); }

bool RedirectOutput(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::fflush(stdout);
  std::fflush(stderr);
  const bool done = dup2(fd, STDOUT_FILENO) >= 0 && dup2(fd, STDERR_FILENO) >= 0;
  close(fd);
  return done;
}

char PathSeparator() { return '/'; }

bool FileModified(const std::string& path, int64_t* seconds) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

std::string DirectoryText(const std::string& bytes) {
  // The providers hand names on as the bytes they read; a NUL ends the text, as it ends
  // the stored field.
  return bytes.substr(0, bytes.find('\0'));
}

std::string DefaultDirectory() { return "nss"; }

bool ListGroupDatabase(std::vector<Group>* groups, std::string* error,
                       const std::function<void(std::size_t)>& seen) {
  setgrent();
  for (;;) {
    errno = 0;
    const group* entry = getgrent();
    if (!entry) {
      // ENOENT (and, with some modules, ESRCH) marks the end rather than a failure.
      const int code = errno;
      endgrent();
      if (code != 0 && code != ENOENT && code != ESRCH) {
        *error = std::string("cannot read the group database: ") + tq5::admin::SystemErrorText(code);
        return false;
      }
      return true;
    }
    const std::string id = std::to_string(entry->gr_gid);
    groups->push_back({entry->gr_name && *entry->gr_name ? entry->gr_name : id, id});
    if (seen) seen(groups->size());
  }
}

namespace {

int stopPipe[2] = {-1, -1};
volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t reloadSignal = 0;
volatile sig_atomic_t sweepSignal = 0;
// A stop asked for by the process itself, by name.
std::atomic<const char*> stopRequest{nullptr};

extern "C" void OnRequestSignal(int signal) {
  const int saved = errno;
  if (signal == SIGHUP) {
    reloadSignal = 1;
  } else if (signal == SIGUSR1) {
    sweepSignal = 1;
  } else {
    stopSignal = signal;
  }
  const char byte = 1;
  // Nothing to do when the pipe is full: a request is pending already.
  if (write(stopPipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

}  // namespace

void InstallStopHandlers() {
  if (pipe(stopPipe) != 0) std::abort();
  for (int fd : stopPipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  struct sigaction action {};
  action.sa_handler = OnRequestSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // Closing the terminal or `systemctl reload` would otherwise end the server unsaved.
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGUSR1, &action, nullptr);
}

std::string WaitForStop(int64_t ms) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  for (;;) {
    if (const char* name = stopRequest.load()) return name;
    if (stopSignal != 0) return stopSignal == SIGINT ? "SIGINT" : "SIGTERM";
    if (reloadSignal != 0 || sweepSignal != 0) return "";
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return "";
    pollfd fd{stopPipe[0], POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left)) > 0) {
      char drain[16];
      while (read(stopPipe[0], drain, sizeof drain) > 0) {
      }
    }
  }
}

void RequestStop(const char* name) {
  const char* expected = nullptr;
  stopRequest.compare_exchange_strong(expected, name);
  const char byte = 1;
  if (stopPipe[1] >= 0 && write(stopPipe[1], &byte, 1) < 0) {
  }
}

bool RequestPending() { return reloadSignal != 0 || sweepSignal != 0; }

bool TakeRequest(Request request) {
  volatile sig_atomic_t& flag = request == Request::Reload ? reloadSignal : sweepSignal;
  if (flag == 0) return false;
  // A request that arrives after this point is served by the run that follows.
  flag = 0;
  return true;
}

std::string RequestSource(Request request) {
  return request == Request::Reload ? "SIGHUP" : "SIGUSR1";
}

bool ServerRunning(unsigned long* pid) {
  *pid = tq5::admin::RegionServerProcessId();
  return *pid != 0;
}

bool ServerAlive(unsigned long, int64_t, unsigned long* pid) { return ServerRunning(pid); }

// Signals need no folder: every request reaches the server through its process.
void AcceptRequests(const std::string&) {}

bool SendRequest(Request request, unsigned long pid, const std::string&, std::string* how,
                 std::string* error) {
  const int signal = request == Request::Reload ? SIGHUP : SIGUSR1;
  if (kill(static_cast<pid_t>(pid), signal) != 0) {
    const int code = errno;
    *error =
        "cannot signal the cache server (pid " + std::to_string(pid) +
        "): " + tq5::admin::SystemErrorText(code) +
        (code == EPERM ? " (it runs under another account; ask as that account or root)" : "");
    return false;
  }
  *how = RequestSource(request) + " to pid " + std::to_string(pid);
  return true;
}

// A signal that kill() delivered to the server's live process is taken: its handler only
// notes it, and the server's loop serves it.
bool RequestTaken(Request, const std::string&) { return true; }

void WithdrawRequest(Request, const std::string&) {}

void StopDone() {}

}  // namespace orvcache::host
