// The cache server as a Windows service. `service install` registers a service whose
// command line is `orvcache.exe server --service` with the server's options (and the
// cache folder and object prefix, since a service does not see the installing shell's
// environment). Started by the service control manager, the server runs in the service's
// main function; a stop or shut-down control is a stop request like Ctrl+C, so the cache
// file is written and the region shut down before the service reports itself stopped.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "event_log.h"
#include "host.h"
#include "output.h"
#include "tq5orvcache_admin.h"
#include "role_source.h"
#include "server.h"
#include "service.h"
#include "service_manager.h"

namespace orvcache::service {

namespace {

constexpr const char* kDefaultName = "orvcache";
constexpr const char* kDisplayName = "tq5orvcache cache server";
constexpr const char* kDescription =
    "Keeps the machine-wide cache of users' security roles: creates the shared region, "
    "loads the role list, sweeps stale users and writes the cache file.";
// How long the control manager should wait for the next report while the server starts
// (the role list may be long) and while it stops (it writes the cache file).
constexpr DWORD kStartWaitHintMs = 60000;
constexpr DWORD kStopWaitHintMs = 30000;
// How long `service uninstall` waits for a running service to stop.
constexpr DWORD kUninstallStopWaitMs = 60000;

std::string ErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n > 0 && text ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return "error " + std::to_string(error) + (message.empty() ? "" : ": " + message);
}

// ---- Running under the control manager ----------------------------------------------

// The status as last reported; the server's thread and the control handler both report.
std::mutex statusMutex;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
const std::function<int()>* serverWork = nullptr;
int serverExitCode = 1;

void Report(DWORD state, DWORD waitHintMs = 0, int exitCode = 0) {
  std::lock_guard<std::mutex> lock(statusMutex);
  if (statusHandle == nullptr) return;
  // Once stopping, a late "running" from the server does not undo the stop.
  if (state == SERVICE_RUNNING && status.dwCurrentState == SERVICE_STOP_PENDING) return;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwControlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_RUNNING
                                  ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
                                  : 0;
  status.dwCheckPoint = pending && status.dwCurrentState == state ? status.dwCheckPoint + 1
                        : pending                                 ? 1
                                                                  : 0;
  status.dwCurrentState = state;
  status.dwWaitHint = waitHintMs;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, kStopWaitHintMs);
      host::RequestStop(control == SERVICE_CONTROL_STOP ? "service stop" : "system shut-down");
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    statusHandle = RegisterServiceCtrlHandlerExA(argc > 0 ? argv[0] : "", OnControl, nullptr);
    if (statusHandle == nullptr) return;
  }
  Report(SERVICE_START_PENDING, kStartWaitHintMs);
  int exitCode = 1;
  try {
    exitCode = (*serverWork)();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "orvcache: %s\n", error.what());
  }
  serverExitCode = exitCode;
  Report(SERVICE_STOPPED, 0, exitCode);
}

// ---- Installing ----------------------------------------------------------------------

// One argument as the C runtime splits a command line again.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

std::string ExecutablePath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) throw ToolError("cannot tell where orvcache.exe is");
  return std::string(path, n);
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

class Handle {
 public:
  explicit Handle(SC_HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

SC_HANDLE OpenManager(DWORD access) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
  if (!manager) {
    const DWORD error = GetLastError();
    throw ToolError("cannot open the service control manager (" + ErrorText(error) + ")" +
                    (error == ERROR_ACCESS_DENIED ? "; run from an elevated prompt" : ""));
  }
  return manager;
}

// The server's command line: the options given, and what the service could not otherwise
// know of this shell's environment.
// A service starts in the system folder: a relative path would name a file there.
std::string Absolute(const std::string& path) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::string(full, n) : path;
}

// The value of a server option as the service must see it.
std::string OptionValue(const std::string& name, const std::string& value) {
  const std::string file = "file:";
  if (name == "--directory" && value.compare(0, file.size(), file) == 0) {
    return file + Absolute(value.substr(file.size()));
  }
  return name == "--pid-file" || name == "--stop-file" ? Absolute(value) : value;
}

std::string ServerCommandLine(const Args& args, const std::string& eventSource, std::string* folder,
                              std::string* logFile) {
  std::string line = Quote(ExecutablePath()) + " server --service";
  const std::string prefix = Environment("TQ5ORVCACHE_OBJECT_PREFIX");
  if (!prefix.empty()) line += " --prefix " + Quote(prefix);
  *folder = Environment("MERLOC_GROUP_FOLDER_NAME");
  if (!folder->empty()) *folder = Absolute(*folder);
  if (args.Has("--no-cache-file")) {
    folder->clear();
  } else if (folder->empty()) {
    throw UsageError(
        "service install: name the cache file's folder with --folder DIR (or give "
        "--no-cache-file): the service does not see this shell's MERLOC_GROUP_FOLDER_NAME");
  } else {
    line += " --folder " + Quote(*folder);
  }
  *logFile = args.Has("--log-file")   ? Absolute(args.Value("--log-file"))
             : folder->empty()        ? std::string()
             : folder->back() == '\\' ? *folder + "orvcache-server.log"
                                      : *folder + "\\orvcache-server.log";
  for (const OptionSpec& option : kServerOptions) {
    const std::string name = option.name;
    if (!args.Has(name) || name == "--log-file") continue;
    line += " " + name;
    if (option.takesValue()) line += " " + Quote(OptionValue(name, args.Value(name)));
  }
  if (!args.Has("--directory")) {
    // The service reads the machine's setting itself; this shell's variable it would not
    // see, so that goes into its command line.
    std::string machine;
    const std::string shell = Environment("TQ5ORVCACHE_DIRECTORY");
    if (!tq5::admin::ReadMachineSetting("directory", &machine) || machine.empty()) {
      if (shell.empty()) {
        throw UsageError("service install: " + MissingRoleSource("") +
                         "; without one the service could not start");
      }
      line += " --directory " + Quote(OptionValue("--directory", shell));
    }
  }
  if (!logFile->empty()) line += " --log-file " + Quote(*logFile);
  if (!args.Has("--event-source")) line += " --event-source " + Quote(eventSource);
  return line;
}

int Install(const Args& args, bool json) {
  const std::string name = args.Has("--name") ? args.Value("--name") : kDefaultName;
  DWORD start = SERVICE_AUTO_START;
  if (args.Has("--start")) {
    const std::string& type = args.Value("--start");
    if (type == "demand") {
      start = SERVICE_DEMAND_START;
    } else if (type != "auto") {
      throw UsageError("--start: auto or demand, not \"" + type + "\"");
    }
  }
  if (args.Has("--service")) throw UsageError("service install writes --service itself");
  std::string folder;
  std::string logFile;
  // The service's events go to the Application log under its own name.
  const std::string eventSource = args.Has("--event-source") ? args.Value("--event-source") : name;
  const std::string commandLine = ServerCommandLine(args, eventSource, &folder, &logFile);
  const std::string display =
      name == kDefaultName ? kDisplayName : std::string(kDisplayName) + " (" + name + ")";

  Handle manager(OpenManager(SC_MANAGER_CREATE_SERVICE));
  Handle created(CreateServiceA(manager.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL,
                                commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!created) {
    const DWORD error = GetLastError();
    throw ToolError("cannot install the service " + name + " (" + ErrorText(error) + ")" +
                    (error == ERROR_SERVICE_EXISTS
                         ? "; remove it first with `orvcache service uninstall --name " + name + "`"
                     : error == ERROR_ACCESS_DENIED ? "; run from an elevated prompt"
                                                    : ""));
  }
  SERVICE_DESCRIPTIONA description{const_cast<char*>(kDescription)};
  ChangeServiceConfig2A(created.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  // A server that crashed is started again after a minute; one that stopped by itself
  // (a start-up failure) is not, since it would fail again the same way.
  SC_ACTION restart[3] = {
      {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = 3;
  failure.lpsaActions = restart;
  ChangeServiceConfig2A(created.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  std::string error;
  if (!event_log::RegisterSource(eventSource, ExecutablePath(), &error)) {
    // The service runs all the same; its events show without their message text.
    std::fprintf(stderr, "orvcache: warning: %s\n", error.c_str());
  }

  const char* startText = start == SERVICE_AUTO_START ? "auto" : "demand";
  if (json) {
    PrintJson({{"service", name},
               {"installed", true},
               {"start", startText},
               {"commandLine", commandLine},
               {"eventSource", eventSource},
               {"logFile", logFile}});
  } else {
    std::printf("installed the service %s (start: %s)\n  %s\n", name.c_str(), startText,
                commandLine.c_str());
    if (!logFile.empty()) std::printf("its log: %s\n", logFile.c_str());
    std::printf("its events: the Application log, source %s\n", eventSource.c_str());
    std::printf("start it with `sc start %s` or `net start %s`\n", name.c_str(), name.c_str());
  }
  return 0;
}

// Stops a running service (its server writes the cache file and shuts the region down)
// and waits for it; true when it was running.
bool StopAndWait(SC_HANDLE service, const std::string& name) {
  SERVICE_STATUS state{};
  if (!QueryServiceStatus(service, &state)) {
    throw ToolError("cannot query the service " + name + " (" + ErrorText(GetLastError()) + ")");
  }
  if (state.dwCurrentState == SERVICE_STOPPED) return false;
  if (state.dwCurrentState != SERVICE_STOP_PENDING &&
      !ControlService(service, SERVICE_CONTROL_STOP, &state) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    throw ToolError("cannot stop the service " + name + " (" + ErrorText(GetLastError()) + ")");
  }
  const ULONGLONG deadline = GetTickCount64() + kUninstallStopWaitMs;
  while (QueryServiceStatus(service, &state) && state.dwCurrentState != SERVICE_STOPPED) {
    if (GetTickCount64() > deadline) {
      throw ToolError("the service " + name + " did not stop within " +
                      std::to_string(kUninstallStopWaitMs / 1000) + " s; it stays installed");
    }
    Sleep(200);
  }
  return true;
}

int Uninstall(const Args& args, bool json) {
  const std::string name = args.Has("--name") ? args.Value("--name") : kDefaultName;
  Handle manager(OpenManager(SC_MANAGER_CONNECT));
  Handle service(
      OpenServiceA(manager.get(), name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = GetLastError();
    throw ToolError(error == ERROR_SERVICE_DOES_NOT_EXIST
                        ? "no service named " + name + " is installed"
                        : "cannot open the service " + name + " (" + ErrorText(error) + ")");
  }
  const bool stopped = StopAndWait(service.get(), name);
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    throw ToolError("cannot remove the service " + name + " (" + ErrorText(GetLastError()) + ")");
  }
  std::string error;
  const std::string eventSource = args.Has("--event-source") ? args.Value("--event-source") : name;
  if (!event_log::RemoveSource(eventSource, &error)) {
    std::fprintf(stderr, "orvcache: warning: %s\n", error.c_str());
  }
  if (json) {
    PrintJson({{"service", name}, {"removed", true}, {"stopped", stopped}});
  } else {
    std::printf("%sremoved the service %s\n", stopped ? "stopped and " : "", name.c_str());
  }
  return 0;
}

}  // namespace

std::vector<OptionSpec> Options() {
  std::vector<OptionSpec> options = {
      {"--name", "NAME", "the service's name (default orvcache)"},
      {"--start", "auto|demand", "start with Windows (default) or only when asked"}};
  options.insert(options.end(), kServerOptions.begin(), kServerOptions.end());
  return options;
}

int RunServiceCommand(const Args& args, bool json) {
  const std::string& action = args.positional()[0];
  if (action == "install") return Install(args, json);
  if (action == "uninstall") return Uninstall(args, json);
  throw UsageError("service: install or uninstall, not \"" + action + "\"");
}

int RunAsService(const std::function<int()>& server) {
  serverWork = &server;
  // The name is the control manager's to give; an own-process service's entry is used
  // whatever it is called.
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(""), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    const DWORD error = GetLastError();
    throw ToolError(error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                        ? "--service: this process was not started by the service control "
                          "manager; run `orvcache server` without --service, or start the "
                          "installed service (`sc start NAME`)"
                        : "--service: cannot reach the service control manager (" +
                              ErrorText(error) + ")");
  }
  return serverExitCode;
}

// The service manager's side of service_manager.h: running once clients can use the cache,
// stop pending while the cache file is written. A reload changes nothing the control
// manager shows. Nothing outside a service (Report does nothing there).
void Ready(const std::string&) { Report(SERVICE_RUNNING); }

void Reloading() {}

void Stopping(const std::string&) { Report(SERVICE_STOP_PENDING, kStopWaitHintMs); }

}  // namespace orvcache::service
