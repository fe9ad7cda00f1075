// The command's operating-system needs on Windows.
#include <windows.h>
// After <windows.h>:
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host.h"
#include "tq5orvcache_admin.h"

namespace orvcache::host {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

unsigned long ProcessId() { return GetCurrentProcessId(); }

std::string AccountName() {
  char name[257];
  DWORD size = sizeof name;
  return GetUserNameA(name, &size) ? std::string(name) : std::string("this account");
}

void SetEnvironment(const char* name, const std::string& value) {
  // The library reads the C runtime's copy; child processes get the process's own.
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableA(name, value.c_str());
}

void UnsetEnvironment(const char* name) {
  _putenv_s(name, "");
  SetEnvironmentVariableA(name, nullptr);
}

char PathSeparator() { return '\\'; }

// At the C runtime's descriptors and the process's handles: a service starts without
// either, and the runtime cannot reopen a stream that never had a file.
bool RedirectOutput(const std::string& path) {
  const int fd =
      _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  std::fflush(stdout);
  std::fflush(stderr);
  const bool done = _dup2(fd, 1) == 0 && _dup2(fd, 2) == 0;
  _close(fd);
  if (!done) return false;
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  return true;
}

bool FileModified(const std::string& path, int64_t* seconds) {
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) return false;
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

// The directory component hands texts over as they are; nothing to repeat here.
std::string DirectoryText(const std::string& bytes) { return bytes; }

std::string DefaultDirectory() { return ""; }

bool ListGroupDatabase(std::vector<Group>*, std::string* error,
                       const std::function<void(std::size_t)>&) {
  *error =
      "Windows has no group database to take roles from; name a directory file with "
      "--directory file:PATH or TQ5ORVCACHE_DIRECTORY";
  return false;
}

namespace {

// Set once; a stop requested before it exists is seen when it is made.
std::atomic<HANDLE> stopEvent{nullptr};
HANDLE doneEvent = nullptr;
std::atomic<const char*> stopName{nullptr};
// How often the server looks for request files.
constexpr DWORD kRequestPollMs = 200;
std::string requestFiles[2];  // by Request, set when the server installs its handlers
bool pending[2] = {false, false};

// "<folder>\<prefix>ZOLMAR_ORVCACHE.reload": one file per object prefix, in the folder
// of the server's cache file, which the server publishes and the admins share (the
// temporary folder without one, which is per account).
std::string RequestFile(Request request, const std::string& cacheFile) {
  std::string folder;
  const std::size_t slash = cacheFile.find_last_of("\\/");
  if (slash != std::string::npos) {
    folder = cacheFile.substr(0, slash + 1);
  } else {
    char temp[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof temp, temp);
    folder = n > 0 && n < sizeof temp ? std::string(temp, n) : ".";
  }
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  const std::string name = tq5::admin::ObjectFileName(tq5::admin::CacheObject::Region);
  return folder + name + (request == Request::Reload ? ".reload" : ".sweep");
}

// Takes the request files that have appeared since the last look.
void PollRequestFiles() {
  for (int i = 0; i < 2; ++i) {
    if (!requestFiles[i].empty() && DeleteFileA(requestFiles[i].c_str())) pending[i] = true;
  }
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  const char* name = "console event";
  switch (type) {
    case CTRL_C_EVENT:
      name = "Ctrl+C";
      break;
    case CTRL_BREAK_EVENT:
      name = "Ctrl+Break";
      break;
    case CTRL_CLOSE_EVENT:
      name = "console closed";
      break;
    case CTRL_LOGOFF_EVENT:
      name = "log-off";
      break;
    case CTRL_SHUTDOWN_EVENT:
      name = "shut-down";
      break;
  }
  RequestStop(name);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // Returning ends the process; give the server the few seconds Windows allows to
    // write the cache file and shut the region down.
    WaitForSingleObject(doneEvent, 4500);
  }
  return TRUE;
}

}  // namespace

void RequestStop(const char* name) {
  const char* expected = nullptr;
  stopName.compare_exchange_strong(expected, name);
  if (HANDLE event = stopEvent.load()) SetEvent(event);
}

void InstallStopHandlers() {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!event || !doneEvent) std::abort();
  stopEvent.store(event);
  if (stopName.load() != nullptr) SetEvent(event);
  // A process started in a new process group ignores Ctrl+C until it asks for it.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void AcceptRequests(const std::string& cacheFile) {
  // Requests left from before this server started are not this server's to serve.
  for (Request request : {Request::Reload, Request::Sweep}) {
    const int i = static_cast<int>(request);
    requestFiles[i] = RequestFile(request, cacheFile);
    DeleteFileA(requestFiles[i].c_str());
  }
}

std::string WaitForStop(int64_t ms) {
  if (ms < 0) ms = 0;
  for (;;) {
    PollRequestFiles();
    if (RequestPending()) return "";
    const DWORD wait = ms < kRequestPollMs ? static_cast<DWORD>(ms) : kRequestPollMs;
    if (WaitForSingleObject(stopEvent.load(), wait) == WAIT_OBJECT_0) {
      const char* name = stopName.load();
      return name ? name : "console event";
    }
    ms -= wait;
    if (ms <= 0) {
      PollRequestFiles();
      return "";
    }
  }
}

bool RequestPending() { return pending[0] || pending[1]; }

bool TakeRequest(Request request) {
  bool& flag = pending[static_cast<int>(request)];
  const bool was = flag;
  flag = false;
  return was;
}

std::string RequestSource(Request) { return "request file"; }

bool ServerRunning(unsigned long* pid) {
  *pid = 0;
  // A section lives exactly as long as a handle to it: while it opens, a server runs.
  return tq5::admin::RegionOpens();
}

bool ServerAlive(unsigned long publishedPid, int64_t publishedStart, unsigned long* pid) {
  *pid = 0;
  // Nothing published to ask about (no statistics object): a section lives only while
  // a handle to it does, most likely the server's own.
  if (publishedPid == 0) return true;
  const HANDLE process =
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, publishedPid);
  if (process == nullptr) {
    // A process of another account that this one may not open still runs.
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    *pid = publishedPid;
    return true;
  }
  bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (alive && GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    // 100 ns steps since 1601; a process made after the server published its start
    // holds the dead server's reused id.
    const uint64_t ticks =
        (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    const auto createdAt = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
    if (publishedStart > 0 && createdAt > publishedStart + 2) alive = false;
  }
  CloseHandle(process);
  if (alive) *pid = publishedPid;
  return alive;
}

bool SendRequest(Request request, unsigned long pid, const std::string& cacheFile, std::string* how,
                 std::string* error) {
  const std::string path = RequestFile(request, cacheFile);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error =
        "cannot write the request file " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  CloseHandle(file);
  *how = "request file " + path + " for pid " + std::to_string(pid);
  return true;
}

// The server deletes the file when it takes the request.
bool RequestTaken(Request request, const std::string& cacheFile) {
  return GetFileAttributesA(RequestFile(request, cacheFile).c_str()) == INVALID_FILE_ATTRIBUTES;
}

void WithdrawRequest(Request request, const std::string& cacheFile) {
  DeleteFileA(RequestFile(request, cacheFile).c_str());
}

void StopDone() {
  if (doneEvent) SetEvent(doneEvent);
}

}  // namespace orvcache::host
