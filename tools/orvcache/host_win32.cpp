// The command's operating-system needs on Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>:
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "host.h"

namespace orvcache::host {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

unsigned long ProcessId() { return GetCurrentProcessId(); }

void SetEnvironment(const char* name, const std::string& value) {
  // The library reads the C runtime's copy; child processes get the process's own.
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableA(name, value.c_str());
}

char PathSeparator() { return '\\'; }

bool FileModified(const std::string& path, int64_t* seconds) {
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) return false;
  *seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

// The directory component hands texts over as they are; nothing to repeat here.
std::string DirectoryText(const std::string& bytes) { return bytes; }

bool ListGroupDatabase(std::vector<Group>*, std::string* error,
                       const std::function<void(std::size_t)>&) {
  *error =
      "Windows has no group database to take roles from; name a directory file with "
      "--directory file:PATH or TQ5ORVCACHE_DIRECTORY";
  return false;
}

namespace {

HANDLE stopEvent = nullptr;
HANDLE doneEvent = nullptr;
std::atomic<const char*> stopName{nullptr};

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
  const char* expected = nullptr;
  stopName.compare_exchange_strong(expected, name);
  SetEvent(stopEvent);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // Returning ends the process; give the server the few seconds Windows allows to
    // write the cache file and shut the region down.
    WaitForSingleObject(doneEvent, 4500);
  }
  return TRUE;
}

}  // namespace

void InstallStopHandlers() {
  stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!stopEvent || !doneEvent) std::abort();
  // A process started in a new process group ignores Ctrl+C until it asks for it.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

std::string WaitForStop(int64_t ms) {
  if (ms < 0) ms = 0;
  const DWORD wait = ms >= static_cast<int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
  if (WaitForSingleObject(stopEvent, wait) == WAIT_OBJECT_0) {
    const char* name = stopName.load();
    return name ? name : "console event";
  }
  return "";
}

bool ReloadPending() { return false; }

bool TakeReloadRequest() { return false; }

void StopDone() {
  if (doneEvent) SetEvent(doneEvent);
}

}  // namespace orvcache::host
