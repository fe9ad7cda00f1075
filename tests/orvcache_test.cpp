// The orvcache command in processes of its own: a server that another process talks to
// through the subcommands, their output (tables and JSON) and exit codes, the server's
// timers and its shut-down on a stop request, and the cache file inspection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/directory_support.h"
#include "support/test_support.h"
#include "tq5orvcache.h"

#ifdef _WIN32
#include <windows.h>
// After <windows.h>:
#include <tlhelp32.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using tq5test::ReadFileBytes;
using tq5test::WriteFileBytes;

std::string ToolPath() {
#ifdef _WIN32
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  return (fs::path(std::string(self, n)).parent_path() / "orvcache.exe").string();
#else
  return (fs::read_symlink("/proc/self/exe").parent_path() / "orvcache").string();
#endif
}

std::string Message(ResultCode code) {
  char text[256];
  uint32_t length = sizeof text;
  GetTQ5ORVCacheErrorMessage(code, text, &length);
  return text;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

#ifdef _WIN32
// One argument as the C runtime splits a command line again.
std::string Quote(const std::string& arg) {
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
#endif

// orvcache in a process of its own, its output in files: a pipe would be held open by
// Wine's services, and a file keeps what a server logged for the test to read.
class Tool {
 public:
  Tool(const std::vector<std::string>& args, const std::string& outPath,
       const std::string& errPath) {
    const std::string exe = ToolPath();
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, 0, nullptr);
    std::string commandLine = Quote(exe);
    for (const std::string& arg : args) commandLine += " " + Quote(arg);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    // Wine, loaded, now and then refuses a start that it makes a moment later: tried a few
    // times, so that what fails is the command, not the harness.
    BOOL started = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
      if (attempt > 0) Sleep(200);
      started = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                               nullptr, nullptr, &startup, &info);
      if (!started) error = GetLastError();
    }
    CloseHandle(out);
    CloseHandle(err);
    if (!started) {
      ADD_FAILURE() << "cannot start " << exe << " (error " << error << ")";
      return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
#else
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const int rc = posix_spawn(&pid_, exe.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
      ADD_FAILURE() << "cannot start " << exe;
      pid_ = -1;
    }
#endif
  }

  ~Tool() {
    if (Wait(0) == kStillRunning) {
#ifdef _WIN32
      TerminateProcess(process_, 137);
#else
      kill(pid_, SIGKILL);
#endif
      Wait(20000);
    }
  }

  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  static constexpr int kStillRunning = -1000;

  // The exit code, or kStillRunning when it has not ended within `timeoutMs`.
  int Wait(int timeoutMs = 60000) {
    if (done_) return exitCode_;
#ifdef _WIN32
    if (!process_ ||
        WaitForSingleObject(process_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
      return process_ ? kStillRunning : -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    exitCode_ = static_cast<int>(code);
#else
    if (pid_ < 0) return -1;
    int status = 0;
    for (int waited = 0;; waited += 5) {
      const pid_t ended = waitpid(pid_, &status, WNOHANG);
      if (ended == pid_) break;
      if (waited >= timeoutMs) return kStillRunning;
      tq5test::SleepMs(5);
    }
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
    done_ = true;
    return exitCode_;
  }

#ifndef _WIN32
  void Signal(int signal) { kill(pid_, signal); }
#endif

 private:
#ifdef _WIN32
  HANDLE process_ = nullptr;
#else
  pid_t pid_ = -1;
#endif
  bool done_ = false;
  int exitCode_ = -1;
};

// Output with the line ends of a Windows console program made plain.
std::string Text(std::string bytes) {
  bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
  return bytes;
}

struct Result {
  int code;
  std::string out;
  std::string err;
  Json json() const { return Json::parse(out); }
};

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

class OrvcacheCommand : public tq5test::CacheTest {
 protected:
  void SetUp() override {
    CacheTest::SetUp();
    directory_ = PathInFolder("directory.txt");
    WriteFileBytes(directory_,
                   "CORP\talice\tOperators\tS-1-100\n"
                   "CORP\talice\tEngineers\tS-1-200\n"
                   "CORP\tbob\n"
                   "CORP\tcarol\tViewers\tS-1-300\n");
    tq5test::UseDirectoryFile(directory_);
  }

  Result Run(const std::vector<std::string>& args) {
    const std::string out = PathInFolder("run" + std::to_string(++runs_) + ".out");
    const std::string err = out + ".err";
    Tool tool(args, out, err);
    const int code = tool.Wait();
    return {code, Text(ReadFileBytes(out)), Text(ReadFileBytes(err))};
  }

  // A server with the timers given (all off unless asked for), ready once it has
  // written its pid file. Its log is in ServerLog().
  std::unique_ptr<Tool> StartServer(std::vector<std::string> extra = {}) {
    const std::string pidFile = PathInFolder("server.pid");
    std::vector<std::string> args = {"server",   "--pid-file",       pidFile, "--stop-file",
                                     StopFile(), "--roles-interval", "0",     "--sweep-interval",
                                     "0",        "--write-interval", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    fs::remove(pidFile);
#ifdef _WIN32
    // The server shares this process's console, so that a console event reaches it.
    // Under Wine the console given at start cannot deliver events; a new one can.
    static const bool console = [] {
      FreeConsole();
      return AllocConsole() != 0;
    }();
    EXPECT_TRUE(console);
#endif
    auto server = std::make_unique<Tool>(args, ServerLog(), ServerLog() + ".err");
    EXPECT_TRUE(tq5test::WaitForFile(pidFile, 30000)) << ReadFileBytes(ServerLog() + ".err");
    return server;
  }

  enum class Stop { Terminate, Interrupt };

  // Terminate: SIGTERM on POSIX, the stop file on Windows. Interrupt: SIGINT, or Ctrl+C
  // to every process of the console, which this one ignores.
  int StopServer(Tool& server, Stop how = Stop::Terminate) {
#ifdef _WIN32
    if (how == Stop::Interrupt) {
      SetConsoleCtrlHandler(nullptr, TRUE);
      EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    } else {
      WriteFileBytes(StopFile(), "");
    }
#else
    server.Signal(how == Stop::Interrupt ? SIGINT : SIGTERM);
#endif
    return server.Wait(30000);
  }

  // Waits until the server's log holds `text` `times` times, up to 20 s.
  bool LogShows(const std::string& text, int times = 1) {
    for (int i = 0; i < 400; ++i) {
      const std::string log = ReadFileBytes(ServerLog());
      int found = 0;
      for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++found;
      }
      if (found >= times) return true;
      tq5test::SleepMs(50);
    }
    return false;
  }

  std::string StopFile() const { return PathInFolder("server.stop"); }
  std::string ServerLog() const { return PathInFolder("server.log"); }

  // Polls a JSON answer until `done` holds for it, up to 20 s.
  template <typename Done>
  bool Eventually(const std::vector<std::string>& args, Done done) {
    for (int i = 0; i < 400; ++i) {
      const Result r = Run(args);
      if (r.code == 0 && done(r.json())) return true;
      tq5test::SleepMs(50);
    }
    return false;
  }

  std::string directory_;
  int runs_ = 0;
};

TEST_F(OrvcacheCommand, ClientSubcommandsAgainstARunningServer) {
  auto server = StartServer();

  Result r = Run({"status", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  Json status = r.json();
  EXPECT_EQ("running", status["state"]);
  EXPECT_EQ(true, status["server"]["alive"]);
  EXPECT_EQ(1024, status["roles"]["capacity"]);
  EXPECT_EQ(3, status["roles"]["inUse"]);
  EXPECT_EQ(3, status["roles"]["active"]);
  EXPECT_EQ(0, status["users"]["inUse"]);
  EXPECT_EQ(1351712, status["regionBytes"]);

  // A miss that fetches, then a hit.
  r = Run({"lookup", "CORP", "alice", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  Json found = r.json();
  EXPECT_EQ("directory", found["source"]);
  ASSERT_EQ(2u, found["roles"].size());
  EXPECT_EQ("Operators", found["roles"][0]["name"]);
  EXPECT_EQ("S-1-200", found["roles"][1]["id"]);
  r = Run({"lookup", "corp", "ALICE"});
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(Contains(r.out, "corp\\ALICE: 2 roles, found in the cache")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Engineers  S-1-200")) << r.out;
  r = Run({"lookup", "CORP", "bob", "--admin", "--timeout", "20000", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(r.json()["roles"].empty());

  // Failures carry the library's message and code.
  r = Run({"lookup", "CORP", "stranger"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, Message(CACHE_E_USER_FETCH_CALL))) << r.err;
  r = Run({"--json", "lookup", "CORP", "stranger", "--current"});
  EXPECT_EQ(1, r.code);
  EXPECT_EQ(CACHE_E_USER_NOT_CACHED, r.json()["error"]["code"]);
  EXPECT_EQ(Message(CACHE_E_USER_NOT_CACHED), r.json()["error"]["message"]);

  r = Run({"roles", "--json"});
  ASSERT_EQ(0, r.code);
  Json roles = r.json()["roles"];
  ASSERT_EQ(3u, roles.size());
  EXPECT_EQ("Operators", roles[0]["name"]);
  EXPECT_EQ(1, roles[0]["userRefs"]);
  EXPECT_EQ(true, roles[2]["listed"]);
  r = Run({"roles", "--active"});
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(Contains(r.out, "3 roles active")) << r.out;

  // The last access moves the expiry; four days back is due at the next sweep.
  r = Run({"touch", "CORP", "alice", "--at", "now-4d", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_NEAR(static_cast<double>(Now() - 4 * 86400), r.json()["lastAccessEpoch"].get<double>(),
              60.0);
  r = Run({"users", "--json"});
  ASSERT_EQ(0, r.code);
  Json users = r.json()["users"];
  ASSERT_EQ(2u, users.size());
  EXPECT_EQ("alice", users[0]["user"]);
  EXPECT_EQ("current", users[0]["status"]);
  EXPECT_EQ(true, users[0]["expired"]);
  EXPECT_EQ("Engineers", users[0]["roles"][1]["name"]);
  EXPECT_EQ(0, users[1]["lastAccessEpoch"]);  // an admin lookup records no access
  r = Run({"users"});
  EXPECT_TRUE(Contains(r.out, "CORP\\alice  current")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Operators, Engineers")) << r.out;

  r = Run({"config", "--auto-commit", "0", "--config-value", "42", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(0, r.json()["autoCommitRoles"]);
  r = Run({"config", "--json"});
  EXPECT_EQ(42, r.json()["configValue"]);
  EXPECT_EQ(2, Run({"config", "--config-value", "-1"}).code);  // -1 means "unchanged"

  EXPECT_EQ(0, Run({"commit", "CORP", "alice"}).code);
  r = Run({"delete", "CORP", "alice", "--json"});
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(true, r.json()["deleted"]);
  r = Run({"delete", "CORP", "alice"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, Message(CACHE_E_USER_NOT_CACHED))) << r.err;

  EXPECT_EQ(2, Run({"lookup", "CORP"}).code);
  EXPECT_EQ(2, Run({"frobnicate"}).code);
  EXPECT_EQ(2, Run({"touch", "CORP", "bob", "--at", "yesterday"}).code);

  EXPECT_EQ(0, StopServer(*server));
}

TEST_F(OrvcacheCommand, AStoppedServerWritesTheCacheAndTheNextOneStartsFromIt) {
  auto server = StartServer();
  ASSERT_EQ(0, Run({"lookup", "CORP", "carol"}).code);
  EXPECT_EQ(0, StopServer(*server));
  const std::string log = ReadFileBytes(ServerLog());
  EXPECT_TRUE(Contains(log, "write: ok")) << log;
  EXPECT_TRUE(Contains(log, "shutdown: ok")) << log;
  EXPECT_TRUE(fs::exists(CacheFilePath()));
  // The region is gone with the server: no client finds it.
  Result r = Run({"status"});
  EXPECT_EQ(3, r.code) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "no cache server is running")) << r.out;
  EXPECT_TRUE(r.err.empty()) << r.err;
#ifndef _WIN32
  EXPECT_FALSE(fs::exists("/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE"));
#endif

  // The role list no longer names carol's role; the merge keeps it for her.
  WriteFileBytes(directory_, "CORP\talice\tOperators\tS-1-100\n");
  server = StartServer({"--json"});
  r = Run({"lookup", "CORP", "carol", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("cache", r.json()["source"]);
  EXPECT_EQ("Viewers", r.json()["roles"][0]["name"]);
  r = Run({"roles", "--json"});
  ASSERT_EQ(2u, r.json()["roles"].size());
  EXPECT_EQ(false, r.json()["roles"][1]["listed"]);  // held by carol, no longer listed
  EXPECT_EQ(0, StopServer(*server, Stop::Interrupt));
  // One JSON object a line, the start from the file among them.
  std::vector<Json> lines;
  std::string all = Text(ReadFileBytes(ServerLog()));
  for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(Json::parse(all.substr(at, end - at)));
  }
  ASSERT_GE(lines.size(), 5u) << all;
  EXPECT_EQ("start", lines[0]["action"]);
  EXPECT_EQ(3, lines[0]["roles"]);  // as the cache file kept them
  EXPECT_EQ(true, lines[0]["fromCacheFile"]);
  // Users held roles, so the list was merged rather than loaded over their slots.
  EXPECT_EQ("roles", lines[1]["action"]);
  EXPECT_TRUE(Contains(lines[1]["detail"], "merged")) << lines[1];
  EXPECT_EQ("stop", lines[lines.size() - 3]["action"]);
#ifdef _WIN32
  EXPECT_EQ("Ctrl+C", lines[lines.size() - 3]["detail"]);
#else
  EXPECT_EQ("SIGINT", lines[lines.size() - 3]["detail"]);
#endif
  EXPECT_EQ("shutdown", lines.back()["action"]);
  EXPECT_EQ("ok", lines.back()["result"]);
}

TEST_F(OrvcacheCommand, StatsCountsEveryProcessResetsAndStatusShowsTheServersSettings) {
  auto server = StartServer({"--sweep-interval", "2h"});
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  Result r = Run({"stats", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  Json stats = r.json();
  EXPECT_EQ(2, stats["counters"]["lookups"]);
  EXPECT_EQ(1, stats["counters"]["hits"]);
  EXPECT_EQ(1, stats["counters"]["fetchesSucceeded"]);
  EXPECT_DOUBLE_EQ(0.5, stats["hitRatio"].get<double>());
#ifdef TQ5_TEST_METRICS_PARSER
  // The same counts as a monitoring system reads them, in either text format: printed,
  // and written whole to a file for the node exporter's textfile collector.
  const std::string prom = PathInFolder("tq5orvcache.prom");
  ASSERT_EQ(0, Run({"stats", "--format", "prometheus", "--output", prom}).code);
  WriteFileBytes(PathInFolder("metrics.txt"), Run({"stats", "--format", "openmetrics"}).out);
  for (const auto& [format, file] : {std::pair<std::string, std::string>{"prometheus", prom},
                                     {"openmetrics", PathInFolder("metrics.txt")}}) {
    SCOPED_TRACE(format);
    const std::string parsed = PathInFolder("parsed.json");
    ASSERT_EQ(0, std::system(("/usr/bin/python3 " TQ5_TEST_METRICS_PARSER " " + format + " " +
                              file + " >" + parsed)
                                 .c_str()));
    Json samples = Json::parse(ReadFileBytes(parsed));
    EXPECT_EQ(2, samples["tq5orvcache_lookups_total{}"]) << samples;
    EXPECT_EQ(1, samples["tq5orvcache_hits_total{}"]);
    EXPECT_EQ(1, samples["tq5orvcache_fetches_total{outcome=succeeded}"]);
    EXPECT_EQ(0, samples["tq5orvcache_fetches_total{outcome=timed_out}"]);
    EXPECT_EQ(1, samples["tq5orvcache_user_slots{state=in_use}"]);
    EXPECT_EQ("counter", samples["tq5orvcache_lookups:type"]);
    EXPECT_GT(samples["tq5orvcache_server_start_time_seconds{}"].get<double>(), 1.7e9);
  }
  EXPECT_EQ(2, Run({"stats", "--format", "yaml"}).code);
#endif

  // The reset answers with the counts up to it; the next reading starts from zero.
  r = Run({"stats", "--reset", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(2, r.json()["counters"]["lookups"]);
  EXPECT_EQ(true, r.json()["reset"]);
  r = Run({"stats"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Contains(r.out, "lookups")) << r.out;
  EXPECT_EQ(0, Run({"stats", "--json"}).json()["counters"]["lookups"]);

  // The server's own view: the cache file it writes, not the one this process would name.
  const std::string serverFile = CacheFilePath();
  r = Run({"--folder", PathInFolder("elsewhere"), "status", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(serverFile, r.json()["server"]["cacheFile"]);
  EXPECT_EQ(7200000, r.json()["server"]["sweepIntervalMs"]);
  r = Run({"status"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Contains(r.out, "as the running server reports itself")) << r.out;
  EXPECT_TRUE(Contains(r.out, "cache file     " + serverFile)) << r.out;
  EXPECT_TRUE(Contains(Run({"help", "stats"}).out, "--reset"));

  EXPECT_EQ(0, StopServer(*server));
#ifndef _WIN32
  EXPECT_FALSE(fs::exists("/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE_STATS"));
#endif
}

TEST_F(OrvcacheCommand, ASecondServerIsTurnedAwayAndCheckFindsAndMendsDamage) {
  auto server = StartServer();
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  const std::string pid = ReadFileBytes(PathInFolder("server.pid"));

  const std::string secondPid = PathInFolder("second.pid");
  Result r = Run({"server", "--pid-file", secondPid, "--roles-interval", "0"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.out + r.err, "another cache server is running")) << r.out << r.err;
#ifndef _WIN32
  EXPECT_TRUE(Contains(r.out, "(pid " + pid.substr(0, pid.find('\n')) + ")")) << r.out;
#endif
  EXPECT_FALSE(fs::exists(secondPid));
  r = Run({"lookup", "CORP", "alice", "--json"});
  EXPECT_EQ("cache", r.json()["source"]);  // the first server's users are still there

  EXPECT_EQ(0, Run({"check"}).code);
  {
    tq5test::RawRegion raw;
    ASSERT_TRUE(raw.mapped());
    raw.role(0).userRefs += 3;
    raw.user(0).roleSlots[1] = 700;  // a slot no role occupies
    raw.header().userActiveCount += 2;
  }
  r = Run({"check", "--json"});
  EXPECT_EQ(1, r.code);
  // The stray slot, the references (one too many on role 0, one on alice's second role
  // that no longer counts once that slot is dropped) and the count of active users.
  EXPECT_EQ(4u, r.json()["violations"].size()) << r.out;
  EXPECT_EQ(0, Run({"check", "--repair"}).code);
  EXPECT_EQ(0, Run({"check"}).code);
  r = Run({"lookup", "CORP", "alice", "--json"});
  EXPECT_EQ(1u, r.json()["roles"].size()) << r.out;

  EXPECT_EQ(0, StopServer(*server));
  EXPECT_EQ(0, Run({"check", "--file", CacheFilePath()}).code);
  std::string image = ReadFileBytes(CacheFilePath());
  image[32 + 8] = 9;  // role 0's userRefs, which one user holds
  WriteFileBytes(CacheFilePath(), image);
  r = Run({"check", "--file", CacheFilePath()});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.out, "role 0 userRefs is 9, should be 1")) << r.out;
  // A file the start-up would not use is no sound file.
  image.pop_back();
  WriteFileBytes(CacheFilePath(), image);
  r = Run({"check", "--file", CacheFilePath()});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.out, "shorter than the header announces")) << r.out;
}

TEST_F(OrvcacheCommand, TheServersTimersMergeSweepAndWrite) {
  auto server = StartServer(
      {"--roles-interval", "200ms", "--sweep-interval", "200ms", "--write-interval", "200ms"});
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  ASSERT_EQ(0, Run({"lookup", "CORP", "bob"}).code);
  ASSERT_EQ(0, Run({"touch", "CORP", "bob", "--at", "now-4d"}).code);
  WriteFileBytes(directory_,
                 "CORP\talice\tOperators\tS-1-100\nCORP\talice\tAuditors\tS-1-400\nCORP\tbob\n");

  // The sweep drops bob and refreshes alice; the merge brings the new role, which the
  // refresh then commits.
  EXPECT_TRUE(Eventually({"users", "--json"}, [](const Json& j) {
    return j["count"] == 1 && j["users"][0]["roles"].size() == 2 &&
           j["users"][0]["roles"][1]["name"] == "Auditors";
  })) << ReadFileBytes(ServerLog());
  EXPECT_TRUE(tq5test::WaitForFile(CacheFilePath(), 20000));
  EXPECT_EQ(0, StopServer(*server));
  const std::string log = ReadFileBytes(ServerLog());
  EXPECT_TRUE(Contains(log, "merge: ok")) << log;
  EXPECT_TRUE(Contains(log, "sweep: ok")) << log;
}

#ifndef _WIN32
TEST_F(OrvcacheCommand, SighupMergesTheRoleListWritesTheCacheFileAndServesOn) {
  auto server = StartServer();  // no timers: only the reload merges and writes
  ASSERT_FALSE(fs::exists(CacheFilePath()));
  WriteFileBytes(directory_, ReadFileBytes(directory_) + "CORP\tdave\tAuditors\tS-1-400\n");

  for (int reload = 1; reload <= 2; ++reload) {
    server->Signal(SIGHUP);
    ASSERT_TRUE(tq5test::WaitForFile(CacheFilePath(), 20000)) << ReadFileBytes(ServerLog());
    // Merged before the write: the file already holds the new role.
    EXPECT_TRUE(Contains(ReadFileBytes(CacheFilePath()), "Auditors"));
    EXPECT_EQ(Tool::kStillRunning, server->Wait(0)) << ReadFileBytes(ServerLog());
    fs::remove(CacheFilePath());
  }
  const Result r = Run({"roles", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  ASSERT_EQ(4u, r.json()["roles"].size());
  EXPECT_EQ("Auditors", r.json()["roles"][3]["name"]);

  EXPECT_EQ(0, StopServer(*server));
  const std::string log = ReadFileBytes(ServerLog());
  EXPECT_TRUE(Contains(log, "reload: SIGHUP")) << log;
  EXPECT_TRUE(Contains(log, "merge: ok")) << log;
}
#endif

// ---- Administration -------------------------------------------------------------------

TEST_F(OrvcacheCommand, HelpAndVersionAnswerWithTheCommandsOwnText) {
  Result r = Run({"--version"});
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(0u, r.out.find("orvcache " TQ5_TEST_PROJECT_VERSION)) << r.out;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"help", "refresh"}, {"refresh", "--help"}}) {
    r = Run(args);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ(0u, r.out.find("usage: orvcache refresh DOMAIN USER")) << r.out;
    EXPECT_FALSE(Contains(r.out, "lookup")) << r.out;  // not the list of every command
  }
  r = Run({"help", "file", "inspect"});
  EXPECT_TRUE(Contains(r.out, "--dump")) << r.out;
  r = Run({"file"});
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(Contains(r.err, "file inspect PATH")) << r.err;
  EXPECT_EQ(2, Run({"help", "frobnicate"}).code);

  // The server's usage, in its help and in the list the man page is made of, names every
  // option the server takes.
  const std::string serverHelp = Run({"help", "server"}).out;
  const std::string everything = Run({"--help"}).out;
  for (const char* option : {"--directory", "--log-level", "--no-cache-file", "--start-afresh",
                             "--log-file", "--service", "--event-source", "--fetch-timeout"}) {
    EXPECT_TRUE(Contains(serverHelp, std::string("[") + option)) << option << serverHelp;
    EXPECT_TRUE(Contains(everything, std::string("[") + option)) << option << everything;
  }
  // A slip gets the nearest command; one user goes with delete, not invalidate.
  r = Run({"user"});
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(Contains(r.err, "unknown command \"user\"; did you mean `orvcache users`?")) << r.err;
  r = Run({"invalidate", "CORP", "bob"});
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(Contains(r.err, "`orvcache delete DOMAIN USER`")) << r.err;
  // Values are checked as the command line is read, in the words they always had.
  r = Run({"lookup", "CORP", "bob", "--timeout", "soon"});
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(
      Contains(r.err, "--timeout must be a whole number from 0 to 2147483647, not \"soon\""))
      << r.err;
  EXPECT_TRUE(Contains(Run({"lookup", "CORP"}).err,
                       "usage: orvcache lookup DOMAIN USER [--admin] [--current] [--timeout MS]"));
}

TEST_F(OrvcacheCommand, RefreshAndInvalidateChangeTheCachedUsers) {
  auto server = StartServer();
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  ASSERT_EQ(0, Run({"lookup", "CORP", "carol"}).code);
  ASSERT_EQ(0, Run({"config", "--auto-commit", "0"}).code);  // the refresh commits anyway
  WriteFileBytes(directory_, "CORP\talice\tEngineers\tS-1-200\nCORP\tcarol\tViewers\tS-1-300\n");

  Result r = Run({"refresh", "CORP", "alice", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  r = Run({"users", "--json"});
  Json alice = r.json()["users"][0];
  EXPECT_EQ("current", alice["status"]);
  ASSERT_EQ(1u, alice["roles"].size()) << r.out;
  EXPECT_EQ("Engineers", alice["roles"][0]["name"]);

  r = Run({"refresh", "CORP", "dave"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, Message(CACHE_E_USER_NOT_CACHED))) << r.err;
  r = Run({"lookup", "CORP", "stranger"});
  EXPECT_TRUE(Contains(r.err, "the directory does not know CORP\\stranger")) << r.err;

  EXPECT_EQ(2, Run({"invalidate"}).code);
  r = Run({"invalidate", "--all", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(2, r.json()["dropped"]);
  EXPECT_EQ(0, Run({"users", "--json"}).json()["count"]);
  EXPECT_EQ(3u, Run({"roles", "--json"}).json()["roles"].size());
  EXPECT_EQ(0, StopServer(*server));
}

// A failed fetch reaches the client with the directory's own reason, and a time-out with
// the limit in force and where it came from.
TEST_F(OrvcacheCommand, AFailedFetchCarriesTheDirectorysReasonAndATimeOutItsLimit) {
  WriteFileBytes(directory_, ReadFileBytes(directory_) +
                                 "CORP\tslow\t@delay\t3000\nCORP\tslow\tViewers\tS-1-300\n"
                                 "CORP\tfailer\t@fail\n");
  auto server = StartServer();
  Result r = Run({"lookup", "CORP", "slow", "--timeout", "200", "--json"});
  EXPECT_EQ(1, r.code);
  EXPECT_EQ(CACHE_E_FETCH_TIMEOUT, r.json()["error"]["code"]) << r.out;
  EXPECT_TRUE(Contains(r.json()["error"]["explanation"],
                       "did not answer within 200 ms, the limit that the caller gave"))
      << r.out;
#ifndef _WIN32
  const std::string group = "orvcache_" + prefix_;
  tq5test::SetEnv("ZOLMAR_VERSION", "7.2");
  tq5test::SetEnv("MERLOC_GROUP_NAME", group.c_str());
  fs::create_directories(std::string(std::getenv("TQ5ORVCACHE_REGISTRY_ROOT")) +
                         "/SOFTWARE/Brintel/Zolmar/7.2/" + group);
  ASSERT_EQ(0, Run({"timeout", "300"}).code);
  r = Run({"lookup", "CORP", "slow"});
  EXPECT_TRUE(Contains(r.err,
                       "within 300 ms, the limit ORV_USER_ROLES_TIMEOUT of the group's "
                       "registry key SOFTWARE\\Brintel\\Zolmar\\7.2\\" +
                           group))
      << r.err;
  tq5test::SetEnv("ZOLMAR_VERSION", nullptr);
  tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);

  // The directory's own reasons (a component on Windows gives the cache no words of its
  // own, only its failure).
  r = Run({"lookup", "CORP", "failer"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, "line for CORP\\failer says @fail")) << r.err;
  EXPECT_FALSE(Contains(r.err, "does not know")) << r.err;
  // A directory file that cannot be loaded: the client hears which line and why.
  WriteFileBytes(directory_, "CORP\talice\tOperators\tS-1-100\nCORP\tbob\tViewers\n");
  r = Run({"--json", "lookup", "CORP", "bob"});
  EXPECT_EQ(CACHE_E_USER_FETCH_INIT, r.json()["error"]["code"]) << r.out;
  EXPECT_TRUE(Contains(r.json()["error"]["explanation"],
                       "line 2: a role line needs a role name and a role id"))
      << r.out;
#endif
  EXPECT_EQ(0, StopServer(*server));
}

// lookup tells the wait for the cache mutex (behind another process's fetch) apart from
// its own work, and names the fetched roles it dropped because the role table does not
// know them.
TEST_F(OrvcacheCommand, LookupShowsTheWaitForTheMutexAndTheRolesItDropped) {
  WriteFileBytes(directory_, ReadFileBytes(directory_) + "CORP\tslow\t@delay\t2500\n");
  auto server = StartServer();
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  // The slow user's fetch holds the mutex (the default mode) while the hit waits.
  Tool slow({"lookup", "CORP", "slow"}, PathInFolder("slow.out"), PathInFolder("slow.err"));
  tq5test::SleepMs(500);
  Result r = Run({"lookup", "CORP", "alice", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("cache", r.json()["source"]);
  EXPECT_GE(r.json()["lockWaitMs"].get<int64_t>(), 1000) << r.out;
  EXPECT_LT(r.json()["durationMs"].get<int64_t>(), r.json()["lockWaitMs"].get<int64_t>()) << r.out;
  EXPECT_EQ(0, slow.Wait());

  // A group the directory knows and the server's role list did not have at its merge.
  WriteFileBytes(directory_, ReadFileBytes(directory_) +
                                 "CORP\tdave\tViewers\tS-1-300\nCORP\tdave\tNewcomers\tS-1-900\n");
  r = Run({"lookup", "CORP", "dave"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Contains(r.out, "1 role, fetched from the directory")) << r.out;
  EXPECT_TRUE(Contains(r.out,
                       "dropped 1 role that the directory gave but the role table does "
                       "not know: Newcomers (S-1-900)"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "`orvcache reload`")) << r.out;
  r = Run({"lookup", "CORP", "carol", "--json"});
  EXPECT_TRUE(r.json()["droppedRoles"].empty()) << r.out;
  EXPECT_EQ(0, StopServer(*server));
}

// The sweep's log names the users whose refresh failed (a few, then how many more) and
// does not count them as refreshed.
TEST_F(OrvcacheCommand, TheSweepNamesTheUsersWhoseRefreshFailed) {
  const std::string known = ReadFileBytes(directory_);
  std::string viewers, failing;
  for (int i = 1; i <= 4; ++i) {
    viewers += "CORP\tu" + std::to_string(i) + "\tViewers\tS-1-300\n";
    failing += "CORP\tu" + std::to_string(i) + "\t@fail\n";
  }
  WriteFileBytes(directory_, known + viewers);
  auto server = StartServer();
  for (const char* user : {"u1", "u2", "u3", "u4", "alice"}) {
    ASSERT_EQ(0, Run({"lookup", "CORP", user}).code) << user;
  }
  WriteFileBytes(directory_, known + failing);
  ASSERT_EQ(0, Run({"sweep"}).code);
  EXPECT_TRUE(
      LogShows("dropped 0 users, refreshed 1, failed to refresh 4 (CORP\\u1, CORP\\u2, "
               "CORP\\u3 and 1 more)"))
      << ReadFileBytes(ServerLog());
  EXPECT_EQ(0, StopServer(*server));
}

// A table changed behind the index (as a process of another build would change it): check
// names the disagreement and --repair rebuilds the index. With negative-cache-seconds set
// for the server, users lists the kept failure, and invalidate --all and delete forget it.
TEST_F(OrvcacheCommand, CheckSeesTheIndexAndUsersListsKeptFailures) {
  tq5test::SetEnv("TQ5ORVCACHE_NEGATIVE_CACHE_SECONDS", "60");
  auto server = StartServer();
  tq5test::SetEnv("TQ5ORVCACHE_NEGATIVE_CACHE_SECONDS", nullptr);
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  {
    tq5test::RawRegion raw;
    ASSERT_TRUE(raw.mapped());
    std::snprintf(raw.user(0).userName, sizeof raw.user(0).userName, "zed");
  }
  Result r = Run({"check", "--json"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.out, "user index: user 0 (CORP\\\\zed) is not in it")) << r.out;
  EXPECT_EQ(0, Run({"check", "--repair"}).code);
  EXPECT_EQ(0, Run({"check"}).code);

  EXPECT_EQ(1, Run({"lookup", "CORP", "stranger"}).code);
  r = Run({"users", "--json"});
  ASSERT_EQ(1u, r.json()["failed"].size()) << r.out;
  EXPECT_EQ("stranger", r.json()["failed"][0]["user"]);
  EXPECT_EQ(CACHE_E_USER_FETCH_CALL, r.json()["failed"][0]["code"]);
  EXPECT_TRUE(Contains(Run({"users"}).out, "1 failed answer kept"));
  ASSERT_EQ(0, Run({"invalidate", "--all"}).code);
  EXPECT_EQ(0u, Run({"users", "--json"}).json()["failed"].size());
  EXPECT_EQ(1, Run({"lookup", "CORP", "stranger"}).code);
  EXPECT_EQ(0, Run({"delete", "CORP", "Stranger"}).code);  // known only by its kept failure
  EXPECT_EQ(0u, Run({"users", "--json"}).json()["failed"].size());
  EXPECT_EQ(0, StopServer(*server));
}

#ifdef _WIN32
// Every thread of a process, suspended; the handles resume them.
std::vector<HANDLE> SuspendProcessThreads(DWORD pid) {
  std::vector<HANDLE> held;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return held;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
      if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
        held.push_back(thread);
      } else {
        CloseHandle(thread);
      }
    }
  }
  CloseHandle(snapshot);
  return held;
}
#endif

TEST_F(OrvcacheCommand, ReloadAndSweepRequestsReachTheRunningServer) {
  Result r = Run({"reload"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, "no cache server is running")) << r.err;

  auto server = StartServer();  // no timers: only the requests merge and sweep
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  ASSERT_EQ(0, Run({"lookup", "CORP", "carol"}).code);
  ASSERT_EQ(0, Run({"touch", "CORP", "carol", "--at", "now-4d"}).code);
  WriteFileBytes(directory_, ReadFileBytes(directory_) + "CORP\tdave\tAuditors\tS-1-400\n");

  // An admin's shell names no cache folder: the requests find the server by what it
  // published.
  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", nullptr);
  r = Run({"reload"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Contains(r.out, "took the request")) << r.out;
  EXPECT_TRUE(Eventually({"roles", "--json"}, [](const Json& j) { return j["count"] == 4; }))
      << ReadFileBytes(ServerLog());
  ASSERT_EQ(0, Run({"sweep"}).code);
  EXPECT_TRUE(Eventually({"users", "--json"}, [](const Json& j) { return j["count"] == 1; }))
      << ReadFileBytes(ServerLog());
#ifdef _WIN32
  // A server that takes no request (its threads held still) is reported, not trusted.
  std::vector<HANDLE> held = SuspendProcessThreads(
      static_cast<DWORD>(std::stoul(ReadFileBytes(PathInFolder("server.pid")))));
  ASSERT_FALSE(held.empty());
  r = Run({"sweep"});
  for (HANDLE thread : held) {
    ResumeThread(thread);
    CloseHandle(thread);
  }
  EXPECT_EQ(1, r.code) << r.out;
  EXPECT_TRUE(Contains(r.err, "did not take the sweep request")) << r.err;
#endif
  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", folder_.c_str());
  EXPECT_EQ(0, StopServer(*server));
  const std::string log = ReadFileBytes(ServerLog());
  // Not a terminal: each line carries its journald priority.
  EXPECT_TRUE(Contains(log, "Z sweep: ok")) << log;
  EXPECT_TRUE(Contains(log, "dropped 1 user, refreshed 1")) << log;
  EXPECT_EQ(0u, log.find("<6>")) << log;
}

#ifndef _WIN32
// The socket systemd gives a Type=notify service, in the test's folder.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address)) << path;
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // The next message, or an empty text when none comes within 20 s.
  std::string Next() {
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, 20000) != 1) return "";
    char message[1024];
    const ssize_t n = recv(fd_, message, sizeof message, 0);
    return n > 0 ? std::string(message, static_cast<std::size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Under systemd the server says it is ready once clients can use the cache, reloading
// and ready again around a reload, and stopping on its way down.
TEST_F(OrvcacheCommand, TheServerReportsItsStateToTheServiceManager) {
#ifndef TQ5_TEST_SERVICE_NOTIFY
  GTEST_SKIP() << "orvcache was built without libsystemd";
#endif
  NotifySocket notify(PathInFolder("notify"));
  tq5test::SetEnv("NOTIFY_SOCKET", PathInFolder("notify").c_str());
  auto server = StartServer();
  tq5test::SetEnv("NOTIFY_SOCKET", nullptr);
  const std::string ready = notify.Next();
  EXPECT_EQ(0u, ready.find("READY=1\nSTATUS=pid ")) << ready;
  EXPECT_EQ(3u, Run({"roles", "--json"}).json()["roles"].size());

  server->Signal(SIGHUP);
  EXPECT_EQ("RELOADING=1", notify.Next());
  EXPECT_EQ(0u, notify.Next().find("READY=1\n"));
  EXPECT_EQ(0, StopServer(*server));
  const std::string stopping = notify.Next();
  EXPECT_EQ(0u, stopping.find("STOPPING=1\n")) << stopping;
  EXPECT_TRUE(Contains(stopping, "SIGTERM")) << stopping;
}
#endif

TEST_F(OrvcacheCommand, AServerWithoutACacheFolderRefusesUnlessToldToRunWithout) {
  Result r = Run({"server", "--folder", PathInFolder("missing"), "--roles-interval", "0"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.out, "<3>")) << r.out;
  EXPECT_TRUE(Contains(r.out, PathInFolder("missing") + " does not exist")) << r.out;
  EXPECT_TRUE(Contains(r.out, "--no-cache-file")) << r.out;

  // Allowed, it neither reads nor writes a file; a timer's merge that changes nothing
  // is a debug line.
  auto server = StartServer({"--folder", PathInFolder("missing"), "--no-cache-file",
                             "--roles-interval", "50ms", "--log-level", "debug"});
  for (int i = 0; i < 400 && !Contains(ReadFileBytes(ServerLog()), "nothing changed"); ++i) {
    tq5test::SleepMs(50);
  }
  EXPECT_EQ(0, StopServer(*server));
  const std::string log = ReadFileBytes(ServerLog());
  EXPECT_TRUE(Contains(log, "<7>")) << log;
  EXPECT_TRUE(Contains(log, "merge: ok")) << log;
  EXPECT_FALSE(fs::exists(PathInFolder("missing")));
}

#ifndef _WIN32
TEST_F(OrvcacheCommand, CleanupRemovesACrashedServersLeftoversOnly) {
  auto server = StartServer();
  Result r = Run({"cleanup"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, "a cache server is running")) << r.err;

  const unsigned long pid = std::stoul(ReadFileBytes(PathInFolder("server.pid")));
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  server->Signal(SIGKILL);
  server->Wait();
  // Its region still answers clients, but nobody maintains it: status says so, and
  // exits with its own code.
  r = Run({"status"});
  EXPECT_EQ(1, r.code) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "orphaned")) << r.out;
  EXPECT_TRUE(Contains(r.out, "pid " + std::to_string(pid) + ", started")) << r.out;
  EXPECT_FALSE(Contains(r.out, "as the running server reports itself")) << r.out;
  r = Run({"--json", "status"});
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("orphaned", r.json()["state"]);
  EXPECT_EQ(false, r.json()["server"]["alive"]);
  EXPECT_EQ(1, r.json()["users"]["inUse"]);
  EXPECT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  char temporary[32];
  std::snprintf(temporary, sizeof temporary, "TQ5%08lX.tmp", pid);
  WriteFileBytes(PathInFolder(temporary), "half an image");
  const std::string region = "/dev/shm/" + prefix_ + "ZOLMAR_ORVCACHE";
  ASSERT_TRUE(fs::exists(region));

  r = Run({"cleanup"});
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "removed region object")) << r.out;
  EXPECT_TRUE(Contains(r.out, "removed statistics object")) << r.out;
  EXPECT_TRUE(Contains(r.out, "removed temporary file")) << r.out;
  EXPECT_FALSE(fs::exists(region));
  EXPECT_FALSE(fs::exists(region + "_STATS"));
  EXPECT_FALSE(fs::exists(PathInFolder(temporary)));
  r = Run({"status"});
  EXPECT_EQ(3, r.code) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "no cache server is running")) << r.out;

  ASSERT_EQ(0, Run({"cleanup", "--mutex"}).code);
  EXPECT_FALSE(fs::exists(region + "_MUTEX"));
  r = Run({"--json", "status"});
  EXPECT_EQ(3, r.code);
  EXPECT_EQ("not-running", r.json()["state"]);
  EXPECT_EQ(3, r.json()["exitCode"]);
  // Without a mutex the client's reason is the one it always was.
  r = Run({"--json", "users"});
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, r.json()["error"]["code"]);
  EXPECT_TRUE(Contains(r.json()["error"]["explanation"],
                       "; no cache server is running (start one with `orvcache server`)"));
  EXPECT_EQ("shm_open(/" + prefix_ + "ZOLMAR_ORVCACHE_MUTEX)", r.json()["error"]["system"]["call"]);
  EXPECT_EQ("No such file or directory", r.json()["error"]["system"]["text"]);
  // A new server starts as on a fresh machine.
  server = StartServer();
  EXPECT_EQ(0, Run({"status"}).code);
  EXPECT_EQ(0, StopServer(*server));
}
#endif

// ---- Cache files -------------------------------------------------------------------

std::string Image(const CacheHeader& h, const std::vector<RoleEntry>& roles,
                  const std::vector<UserEntry>& users) {
  std::string bytes(
      sizeof h + sizeof(RoleEntry) * h.roleCapacity + sizeof(UserEntry) * h.userCapacity, '\0');
  std::memcpy(bytes.data(), &h, sizeof h);
  for (std::size_t i = 0; i < roles.size(); ++i) {
    std::memcpy(bytes.data() + sizeof h + sizeof(RoleEntry) * i, &roles[i], sizeof(RoleEntry));
  }
  for (std::size_t j = 0; j < users.size(); ++j) {
    std::memcpy(
        bytes.data() + sizeof h + sizeof(RoleEntry) * h.roleCapacity + sizeof(UserEntry) * j,
        &users[j], sizeof(UserEntry));
  }
  return bytes;
}

TEST_F(OrvcacheCommand, FileInspectJudgesAFileAsTheStartUpDoes) {
  CacheHeader h{2, 1, 1, 1, 1, 1, 1, 300};
  RoleEntry role{1, 1, 1, 0, "Operators", "S-1-100"};
  UserEntry user{};
  user.inUse = 1;
  user.roleCount = user.currentRoleCount = 1;
  user.status = USER_ROLES_CURRENT;
  user.lastAccess = static_cast<int32_t>(Now());
  std::strcpy(user.domainName, "CORP");
  std::strcpy(user.userName, "alice");
  const std::string good = PathInFolder("good.dat");
  WriteFileBytes(good, Image(h, {role}, {user}) + "trailing");

  Result r = Run({"file", "inspect", good, "--dump", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  Json j = r.json();
  EXPECT_EQ(true, j["usable"]);
  EXPECT_EQ(2, j["header"]["roleCapacity"]);
  EXPECT_EQ(8, j["summary"]["ignoredBytes"]);
  EXPECT_TRUE(j["notes"].empty());
  EXPECT_EQ("Operators", j["roles"][0]["name"]);
  EXPECT_EQ("Operators", j["users"][0]["roles"][0]["name"]);
  r = Run({"file", "inspect", good});
  EXPECT_TRUE(Contains(r.out, "usable: a starting server builds its region from this file"));

  // Damage that makes the start-up fall back to the defaults: exit code 3.
  const std::string bad = PathInFolder("bad.dat");
  WriteFileBytes(bad, Image(h, {role}, {user}).substr(0, 31));
  r = Run({"file", "inspect", bad, "--json"});
  EXPECT_EQ(3, r.code);
  EXPECT_EQ(false, r.json()["usable"]);
  EXPECT_TRUE(r.json()["header"].is_null());

  CacheHeader marks = h;
  marks.userHighWater = 2;  // above the capacity
  WriteFileBytes(bad, Image(marks, {role}, {user}));
  r = Run({"file", "inspect", bad});
  EXPECT_EQ(3, r.code);
  EXPECT_TRUE(Contains(r.out, "user table's high-water mark 2")) << r.out;

  WriteFileBytes(bad, Image(h, {role}, {user}).substr(0, 1000));
  r = Run({"file", "inspect", bad, "--json"});
  EXPECT_EQ(3, r.code);
  EXPECT_TRUE(Contains(r.json()["reason"], "1000 of 1496 bytes")) << r.out;

  // A count that disagrees with the table is no reason to refuse, but worth a note.
  CacheHeader counts = h;
  counts.roleActiveCount = 0;
  WriteFileBytes(bad, Image(counts, {role}, {user}));
  r = Run({"file", "inspect", bad, "--json"});
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(1u, r.json()["notes"].size());

  r = Run({"file", "inspect", PathInFolder("missing.dat")});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, Message(CACHE_E_FILE_OPEN))) << r.err;
}

// Names of several bytes a character line up by what a terminal shows: the e with its
// accent takes one column, each of the two ideographs two.
TEST_F(OrvcacheCommand, TablesAlignNamesBeyondAsciiByTheirWidth) {
  CacheHeader h{3, 3, 3, 1, 0, 0, 1, 300};
  const std::vector<RoleEntry> roles = {{1, 1, 0, 0, "ncgrp\xC3\xA9", "S-1-1"},
                                        {1, 1, 0, 1, "\xE6\x97\xA5\xE6\x9C\xAC", "S-1-2"},
                                        {1, 1, 0, 2, "Operators", "S-1-100"}};
  const std::string file = PathInFolder("wide.dat");
  WriteFileBytes(file, Image(h, roles, {}));
  const Result r = Run({"file", "inspect", file, "--dump"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Contains(r.out,
                       "SLOT  NAME       ID       LISTED  USERS\n"
                       "   0  ncgrp\xC3\xA9     S-1-1    yes         0\n"
                       "   1  \xE6\x97\xA5\xE6\x9C\xAC       S-1-2    yes         0\n"
                       "   2  Operators  S-1-100  yes         0\n"))
      << r.out;
}

// ---- The fetch time limit ------------------------------------------------------------

TEST_F(OrvcacheCommand, TimeoutReadsAndSetsTheRegistryValue) {
  const std::string group = "orvcache_" + prefix_;
  tq5test::SetEnv("ZOLMAR_VERSION", "7.2");
  tq5test::SetEnv("MERLOC_GROUP_NAME", group.c_str());
#ifdef _WIN32
  const std::string key = "SOFTWARE\\Brintel\\Zolmar\\7.2\\" + group;
  HKEY handle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &handle, nullptr));
  RegCloseKey(handle);
#else
  const std::string root = PathInFolder("registry");
  const std::string keyFolder = root + "/SOFTWARE/Brintel/Zolmar/7.2/" + group;
  fs::create_directories(keyFolder);
  // The test binary's own root comes back afterwards, so that no later test meets the
  // machine's.
  const char* givenRoot = std::getenv("TQ5ORVCACHE_REGISTRY_ROOT");
  const std::string keptRoot = givenRoot ? givenRoot : "";
  tq5test::SetEnv("TQ5ORVCACHE_REGISTRY_ROOT", root.c_str());
#endif

  Result r = Run({"timeout", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(r.json()["ms"].is_null());  // read only: the value is not created
  EXPECT_EQ(60000, r.json()["effectiveMs"]);
  r = Run({"timeout", "30000", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(30000, r.json()["ms"]);
  r = Run({"timeout"});
  EXPECT_TRUE(Contains(r.out, "ORV_USER_ROLES_TIMEOUT\n  30000 ms")) << r.out;
#ifndef _WIN32
  EXPECT_EQ("dword:30000\n", ReadFileBytes(keyFolder + "/ORV_USER_ROLES_TIMEOUT"));
#endif
  EXPECT_EQ(2, Run({"timeout", "soon"}).code);

  tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
  r = Run({"timeout"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, Message(CACHE_E_NO_GROUP_ENV))) << r.err;

  // A key that is not there: the system's own reason, beside the call and the key.
  tq5test::SetEnv("MERLOC_GROUP_NAME", (group + "_absent").c_str());
  r = Run({"timeout"});
  EXPECT_EQ(1, r.code);
#ifdef _WIN32
  EXPECT_TRUE(Contains(r.err, "RegOpenKeyExA(HKEY_LOCAL_MACHINE\\" + key + "_absent): ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "(error 2)")) << r.err;
#else
  EXPECT_TRUE(Contains(r.err, "stat(" + keyFolder + "_absent): No such file or directory"))
      << r.err;
#endif

  tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
  tq5test::SetEnv("ZOLMAR_VERSION", nullptr);
#ifdef _WIN32
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
#else
  tq5test::SetEnv("TQ5ORVCACHE_REGISTRY_ROOT", givenRoot ? keptRoot.c_str() : nullptr);
#endif
}

TEST_F(OrvcacheCommand, AFailedCacheFileWriteNamesTheCallAndTheSystemsReason) {
  // The cache folder goes while the server runs: its write at the stop fails in the
  // file's creation, and the log says so in the system's words.
  const std::string cacheFolder = PathInFolder("cache");
  fs::create_directories(cacheFolder);
  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", cacheFolder.c_str());
  auto server = StartServer();
  fs::remove_all(cacheFolder);
  StopServer(*server);
  const std::string log = ReadFileBytes(ServerLog());
  const std::string failed = "(" + std::to_string(CACHE_E_FILE_CREATE) + ")";
  EXPECT_TRUE(Contains(log, "write: failed")) << log;
  const std::string line = log.substr(std::min(log.find(failed), log.size()));
#ifdef _WIN32
  EXPECT_TRUE(Contains(line, "CreateFileA(" + cacheFolder + "\\TQ5")) << log;
  EXPECT_TRUE(Contains(line, "(error 3)")) << log;  // the path is not found
#else
  EXPECT_TRUE(Contains(line, "open(" + cacheFolder + "/TQ5")) << log;
  EXPECT_TRUE(Contains(line, ".tmp): No such file or directory")) << log;
#endif
}

// A stray writer that zeroes the region's header costs neither the cache file nor the
// service: the server repairs the region before its next action and serves on. A cache
// file in which nothing can be served is kept aside, and the server starts from the
// defaults instead of failing at every start.
TEST_F(OrvcacheCommand, ADamagedRegionOrCacheFileNeverStopsTheServer) {
  auto server = StartServer();
  ASSERT_EQ(0, Run({"lookup", "CORP", "alice"}).code);
  ASSERT_EQ(0, Run({"reload"}).code);
  ASSERT_TRUE(LogShows("write: ok")) << ReadFileBytes(ServerLog());
  ASSERT_EQ(1351712u, fs::file_size(CacheFilePath()));
  {
    tq5test::RawRegion raw;
    ASSERT_TRUE(raw.mapped());
    raw.header() = CacheHeader{};
  }
  ASSERT_EQ(0, Run({"reload"}).code);
  EXPECT_TRUE(LogShows("write: ", 2)) << ReadFileBytes(ServerLog());
  EXPECT_TRUE(LogShows("repaired, serving on")) << ReadFileBytes(ServerLog());
  EXPECT_EQ(1351712u, fs::file_size(CacheFilePath()));
  Result r = Run({"lookup", "CORP", "alice", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("cache", r.json()["source"]);
  EXPECT_EQ(2u, r.json()["roles"].size());
  EXPECT_EQ(0, StopServer(*server));

  const CacheHeader empty{};
  WriteFileBytes(CacheFilePath(), std::string(reinterpret_cast<const char*>(&empty), sizeof empty));
  // Files kept aside at every second of the next minute: the new one goes beside them.
  const std::time_t now = std::time(nullptr);
  for (std::time_t at = now; at < now + 60; ++at) {
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&at));
    WriteFileBytes(CacheFilePath() + ".unusable-" + stamp, "kept before");
  }
  server = StartServer();
  EXPECT_TRUE(LogShows("kept aside as " + CacheFilePath() + ".unusable-"))
      << ReadFileBytes(ServerLog());
  {
    const std::string log = ReadFileBytes(ServerLog());
    const std::size_t at = log.find(" warning: the cache file " + CacheFilePath() + " is unusable");
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_EQ(0u, log.compare(log.rfind('\n', at) + 1, 3, "<4>")) << log;
  }
  EXPECT_EQ(0, Run({"lookup", "CORP", "carol"}).code);
  EXPECT_EQ(0, StopServer(*server));
  int aside = 0;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (Contains(entry.path().filename().string(), "TQ5ORVCACHE.dat.unusable-")) {
      ++aside;
      if (ReadFileBytes(entry.path().string()) != "kept before") {
        EXPECT_EQ(sizeof empty, fs::file_size(entry.path()));
      }
    }
  }
  EXPECT_EQ(61, aside);
  EXPECT_EQ(1351712u, fs::file_size(CacheFilePath()));
}

#ifndef _WIN32
// What the server's account cannot read or write stops the start, before readiness, with
// the fix: a cache file (here a link that loops, which no account can open) unless told to
// start afresh, and a folder. A file written before the access was restricted gets the
// restricted mode at the start.
TEST_F(OrvcacheCommand, AnUnreadableCacheFileOrAnUnwritableFolderStopsTheStart) {
  fs::create_symlink(CacheFilePath(), CacheFilePath());
  Result r = Run({"server", "--roles-interval", "0", "--pid-file", PathInFolder("server.pid")});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.out, "is there but cannot be read (open(" + CacheFilePath())) << r.out;
  EXPECT_TRUE(Contains(r.out, "--start-afresh")) << r.out;
  EXPECT_FALSE(fs::exists(PathInFolder("server.pid")));
  EXPECT_TRUE(fs::is_symlink(CacheFilePath()));
  auto server = StartServer({"--start-afresh"});
  EXPECT_TRUE(LogShows("kept aside as " + CacheFilePath() + ".unusable-"))
      << ReadFileBytes(ServerLog());
  EXPECT_EQ(0, StopServer(*server));
  EXPECT_EQ(1351712u, fs::file_size(CacheFilePath()));

  const std::string closed = PathInFolder("closed");
  fs::create_directory(closed);
  std::string command = ToolPath() + " --folder " + closed + " server --roles-interval 0 > " +
                        PathInFolder("closed.out") + " 2>&1";
  if (geteuid() == 0) {
    command = "setpriv --reuid=65534 --regid=65534 --clear-groups " + command;
  } else {
    fs::permissions(closed, fs::perms::owner_read | fs::perms::owner_exec);
  }
  const int status = std::system(command.c_str());
  const std::string out = ReadFileBytes(PathInFolder("closed.out"));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << out;
  EXPECT_TRUE(Contains(out, "the cache file's folder " + closed + " cannot be written")) << out;
  EXPECT_TRUE(Contains(out, "Permission denied")) << out;
  EXPECT_FALSE(Contains(out, "ready")) << out;
  fs::permissions(closed, fs::perms::owner_all);

  if (geteuid() == 0) {
    // A server whose account may not give the objects to the access's group hears the
    // two usual causes and their fixes.
    tq5test::SetEnv("TQ5ORVCACHE_ACCESS", "group:root");
    const int refused = std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                     ToolPath() + " server --no-cache-file --roles-interval 0 > " +
                                     PathInFolder("group.out") + " 2>&1")
                                        .c_str());
    tq5test::SetEnv("TQ5ORVCACHE_ACCESS", nullptr);
    const std::string text = ReadFileBytes(PathInFolder("group.out"));
    EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 1) << refused << text;
    EXPECT_TRUE(Contains(text, "cannot be given to the group root: Operation not permitted"))
        << text;
    EXPECT_TRUE(Contains(text, "SupplementaryGroups=root")) << text;
    // The mutex object was left by the servers above, of root.
    EXPECT_TRUE(Contains(text,
                         "a leftover of another account (root): remove it with "
                         "`orvcache cleanup --mutex`"))
        << text;
  }

  fs::permissions(CacheFilePath(), fs::perms(0666));
  const group* mine = getgrgid(getegid());
  ASSERT_NE(nullptr, mine);
  tq5test::SetEnv("TQ5ORVCACHE_ACCESS", (std::string("group:") + mine->gr_name).c_str());
  server = StartServer();
  struct stat st {};
  EXPECT_EQ(0, stat(CacheFilePath().c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
  EXPECT_EQ(getegid(), st.st_gid);
  EXPECT_EQ(0, StopServer(*server));
  tq5test::SetEnv("TQ5ORVCACHE_ACCESS", nullptr);
}

// An admin's shell, a client and the server need not be given the same environment: where
// a process lacks the variables, the settings file names the machine's cache folder,
// group and version, and a variable that is set still wins for its process.
TEST_F(OrvcacheCommand, TheSettingsFileNamesTheFolderGroupAndVersionOfEveryProcess) {
  const char* settings = std::getenv("TQ5ORVCACHE_CONFIG");
  const char* registry = std::getenv("TQ5ORVCACHE_REGISTRY_ROOT");
  ASSERT_TRUE(settings && registry) << "the test command gives each test its own";
  const std::string machineFolder = PathInFolder("machine-cache");
  fs::create_directories(machineFolder);
  fs::create_directories(fs::path(settings).parent_path());
  // The file and the key are this test binary's, shared by its other tests.
  struct Removed {
    std::string settings, registry;
    ~Removed() {
      std::error_code error;
      fs::remove(settings, error);
      fs::remove_all(registry, error);
    }
  } removed{settings, registry};
  WriteFileBytes(settings, "cache-folder = " + machineFolder +
                               "\ngroup-name = PlantA\nzolmar-version = 7.2\n");
  const std::string keyFolder = std::string(registry) + "/SOFTWARE/Brintel/Zolmar/7.2/PlantA";
  fs::create_directories(keyFolder);
  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", nullptr);

  Result r = Run({"timeout", "30000"});
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("dword:30000\n", ReadFileBytes(keyFolder + "/ORV_USER_ROLES_TIMEOUT"));
  auto server = StartServer();
  r = Run({"status", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  const Json values = r.json()["machineValues"];
  EXPECT_EQ(machineFolder, values["cacheFolder"]["value"]) << r.out;
  EXPECT_EQ("file", values["cacheFolder"]["source"]) << r.out;
  EXPECT_EQ("PlantA", values["groupName"]["value"]) << r.out;
  EXPECT_EQ(machineFolder + "/TQ5ORVCACHE.dat", r.json()["cacheFile"]) << r.out;
  EXPECT_EQ(machineFolder + "/TQ5ORVCACHE.dat", r.json()["server"]["cacheFile"]) << r.out;

  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", folder_.c_str());
  tq5test::SetEnv("MERLOC_GROUP_NAME", "PlantB");
  r = Run({"status", "--json"});
  tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(folder_, r.json()["machineValues"]["cacheFolder"]["value"]) << r.out;
  EXPECT_EQ("environment", r.json()["machineValues"]["groupName"]["source"]) << r.out;
  EXPECT_EQ(0, StopServer(*server));
  EXPECT_TRUE(tq5test::FileExists(machineFolder + "/TQ5ORVCACHE.dat"));
  EXPECT_FALSE(tq5test::FileExists(CacheFilePath()));
}

// Settings that would be ignored are said so: by `orvcache settings --check`, one line each
// and exit 1, and by the server at its start and at each reload. A directory setting that
// no fetch can use stops the server's start before it reports itself ready.
TEST_F(OrvcacheCommand, ProblemsOfTheSettingsAreReportedAndABadDirectoryStopsTheStart) {
  const char* settings = std::getenv("TQ5ORVCACHE_CONFIG");
  ASSERT_TRUE(settings) << "the test command gives each test its own";
  fs::create_directories(fs::path(settings).parent_path());
  struct Removed {
    std::string path;
    ~Removed() {
      std::error_code error;
      fs::remove(path, error);
    }
  } removed{settings};
  WriteFileBytes(settings,
                 "fetch_outside_lock = yes\nfetch-outside-lock = maybe\nshared cache folder\n");
  Result r = Run({"settings", "--check"});
  EXPECT_EQ(1, r.code) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out,
                       "line 1: no setting is named \"fetch_outside_lock\" (did you mean "
                       "fetch-outside-lock?)"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "line 3: \"shared cache folder\" is not `name = value`")) << r.out;
  EXPECT_TRUE(Contains(r.out, "fetch-outside-lock = maybe (fetch-outside-lock in " +
                                  std::string(settings) + ") is neither yes nor no"))
      << r.out;
  EXPECT_EQ(3, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
  r = Run({"settings", "--json"});
  ASSERT_EQ(0, r.code) << r.err;
  std::map<std::string, std::string> sources;
  const Json shown = r.json();
  for (const Json& setting : shown["settings"]) sources[setting["name"]] = setting["source"];
  EXPECT_EQ("file", sources["fetch-outside-lock"]) << r.out;
  EXPECT_EQ("environment", sources["directory"]) << r.out;
  EXPECT_EQ("default", sources["access"]) << r.out;

  auto server = StartServer();
  EXPECT_TRUE(LogShows("warning: settings: ", 3)) << ReadFileBytes(ServerLog());
  ASSERT_EQ(0, Run({"reload"}).code);
  EXPECT_TRUE(LogShows("warning: settings: ", 6)) << ReadFileBytes(ServerLog());
  EXPECT_EQ(0, StopServer(*server));

  WriteFileBytes(settings, "directory = ldap\n");
  tq5test::SetEnv("TQ5ORVCACHE_DIRECTORY", nullptr);
  r = Run({"server", "--pid-file", PathInFolder("bad.pid"), "--roles-interval", "0",
           "--sweep-interval", "0", "--write-interval", "0"});
  tq5test::UseDirectoryFile(directory_);
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.out, "start: failed: the directory cannot be used: \"ldap\"")) << r.out;
  EXPECT_FALSE(tq5test::FileExists(PathInFolder("bad.pid")));
}

// A FIFO where the settings file or the cache file should be would make whoever opens it
// wait for a writer: the start-up, and a lookup's miss while it holds the global cache
// mutex, for which every other process then waits. Neither is read, the defaults apply,
// and the server says why.
TEST_F(OrvcacheCommand, AFifoInPlaceOfTheSettingsOrTheCacheFileIsRefusedNotWaitedOn) {
  const std::string settings = PathInFolder("tq5orvcache.conf");
  ASSERT_EQ(0, mkfifo(settings.c_str(), 0600));
  ASSERT_EQ(0, mkfifo(CacheFilePath().c_str(), 0600));
  const char* before = std::getenv("TQ5ORVCACHE_CONFIG");
  const std::string previous = before ? before : "";
  tq5test::SetEnv("TQ5ORVCACHE_CONFIG", settings.c_str());
  auto server = StartServer();
  // A miss, which asks the machine's settings how to fetch.
  Result r = Run({"lookup", "CORP", "alice", "--json"});
  EXPECT_EQ(0, r.code) << r.err;
  if (r.code == 0) {
    EXPECT_EQ(2u, r.json()["roles"].size()) << r.out;
  }
  EXPECT_EQ(0, StopServer(*server));
  tq5test::SetEnv("TQ5ORVCACHE_CONFIG", before ? previous.c_str() : nullptr);
  const std::string log = ReadFileBytes(ServerLog());
  EXPECT_TRUE(Contains(log, "the settings file " + settings + " is not used (it is a FIFO")) << log;
  EXPECT_TRUE(Contains(log, CacheFilePath() + " is unusable (it is a FIFO")) << log;
}
#endif

#ifdef _WIN32
// The server's start, readiness, reload, failed write and stop reach the event log as
// events of their kinds under the source named. Wine takes the events and keeps none, so
// the test reads what was reported from the copy that TQ5ORVCACHE_EVENT_LOG_COPY asks for.
TEST_F(OrvcacheCommand, TheServerReportsItsLifeToTheEventLog) {
  const std::string copy = PathInFolder("events.txt");
  const std::string cacheFolder = PathInFolder("cache");
  fs::create_directories(cacheFolder);
  tq5test::SetEnv("MERLOC_GROUP_FOLDER_NAME", cacheFolder.c_str());
  tq5test::SetEnv("TQ5ORVCACHE_EVENT_LOG_COPY", copy.c_str());
  const std::string source = "orvcache-" + prefix_;
  auto server = StartServer({"--event-source", source});
  tq5test::SetEnv("TQ5ORVCACHE_EVENT_LOG_COPY", nullptr);
  ASSERT_EQ(0, Run({"reload"}).code);
  for (int i = 0; i < 400 && !Contains(ReadFileBytes(copy), "0x40000004"); ++i) {
    tq5test::SleepMs(50);
  }
  fs::remove_all(cacheFolder);  // the write at the stop fails
  EXPECT_EQ(1, StopServer(*server));
  const std::string events = Text(ReadFileBytes(copy));
  std::size_t at = 0;
  for (const char* expected :
       {" information 0x40000001 reported: region", " information 0x40000003 reported: pid ",
        " information 0x40000004 reported: request file",
        " error 0xc0000006 reported: ", " information 0x40000007 reported: stop file "}) {
    const std::size_t found = events.find(source + expected, at);
    ASSERT_NE(std::string::npos, found) << expected << " after " << at << " in\n" << events;
    at = found + 1;
  }
  EXPECT_TRUE(Contains(events.substr(at), "the cache file was not written")) << events;
}
#endif

}  // namespace

#ifdef _WIN32
namespace {

// The event source's registration, as `service install` writes it.
std::string EventSourceMessageFile(const std::string& source) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  char value[MAX_PATH] = "";
  DWORD size = sizeof value;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "EventMessageFile",
                   RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size) != ERROR_SUCCESS) {
    return "";
  }
  return value;
}

DWORD ServiceState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Polls until the service is in `state`, up to `ms`.
bool WaitForServiceState(SC_HANDLE service, DWORD state, int ms) {
  for (int waited = 0; waited < ms; waited += 100) {
    if (ServiceState(service) == state) return true;
    tq5test::SleepMs(100);
  }
  return ServiceState(service) == state;
}

}  // namespace
#endif

// The server as a Windows service: installed with the server's options and this test's
// object prefix and folder, started by the control manager and running once clients can
// use the cache, stopped by a stop control the way Ctrl+C stops it (cache file written,
// region shut down) and removed. On Linux the command points at systemd.
TEST_F(OrvcacheCommand, AServiceRunsTheServerAndAStopControlShutsItDownCleanly) {
#ifdef _WIN32
  const std::string name = "orvcache-" + prefix_;
  const std::string log = PathInFolder("service.log");
  const Result installed =
      Run({"service", "install", "--name", name, "--start", "demand", "--folder", folder_,
           "--directory", "file:" + directory_, "--roles-interval", "0", "--sweep-interval", "0",
           "--write-interval", "0", "--log-file", log});
  ASSERT_EQ(0, installed.code) << installed.err;
  EXPECT_TRUE(Contains(installed.out, "--event-source " + name)) << installed.out;
  EXPECT_EQ(ToolPath(), EventSourceMessageFile(name));
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(nullptr, manager);
  SC_HANDLE service = OpenServiceA(manager, name.c_str(),
                                   SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  ASSERT_NE(nullptr, service) << GetLastError() << " " << installed.out;
  // Whatever fails below, the prefix keeps no running or installed service.
  struct Remove {
    SC_HANDLE manager, service;
    void Now(bool remove) {
      if (!service) return;
      SERVICE_STATUS status{};
      if (remove) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitForServiceState(service, SERVICE_STOPPED, 30000);
        DeleteService(service);
      }
      CloseServiceHandle(service);
      CloseServiceHandle(manager);
      service = nullptr;
    }
    ~Remove() { Now(true); }
  } remove{manager, service};

  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForServiceState(service, SERVICE_RUNNING, 60000)) << ReadFileBytes(log);
  // Running means ready: the region is up with the roles loaded, and a lookup fetches.
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCache()) << ReadFileBytes(log);
  RoleNameId roles[4];
  int32_t count = 4;
  EXPECT_EQ(CACHE_OK, ClientFindUserRoles("CORP", "alice", &count, roles, 20000));
  EXPECT_EQ(2, count);

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ASSERT_TRUE(WaitForServiceState(service, SERVICE_STOPPED, 30000)) << ReadFileBytes(log);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), status.dwWin32ExitCode);
  const std::string logged = Text(ReadFileBytes(log));
  EXPECT_TRUE(Contains(logged, "stop: service stop")) << logged;
  EXPECT_TRUE(Contains(logged, "shutdown: ok")) << logged;
  // Windows lookups ask the directory component, whatever file feeds the role list.
  EXPECT_FALSE(Contains(logged, "differs from the machine's directory")) << logged;
  EXPECT_TRUE(Run({"file", "inspect", CacheFilePath(), "--dump"}).out.find("alice") !=
              std::string::npos);
  int32_t capacity = 0;
  // This client still holds the mutex, which outlives the server: only the region is gone.
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetRoleProperties(&capacity, nullptr, nullptr));
  UninitializeTQ5ORVCache();

  // A service is removed only once no handle to it is open.
  remove.Now(false);
  const Result removed = Run({"service", "uninstall", "--name", name});
  EXPECT_EQ(0, removed.code) << removed.err;
  EXPECT_EQ("", EventSourceMessageFile(name));
  EXPECT_EQ(1, Run({"service", "uninstall", "--name", name}).code);
  // Started by hand, the service's server says what it needs.
  const Result byHand = Run({"server", "--service", "--no-cache-file"});
  EXPECT_EQ(1, byHand.code);
  EXPECT_TRUE(Contains(byHand.err, "service control manager")) << byHand.err;
  // Windows has no group database: without a directory file neither a console server nor
  // a service would have roles to serve, and both say what to name.
  tq5test::SetEnv("TQ5ORVCACHE_DIRECTORY", nullptr);
  const Result console = Run({"server", "--no-cache-file"});
  EXPECT_EQ(1, console.code);
  EXPECT_TRUE(Contains(console.out + console.err, "--directory file:PATH")) << console.out;
  // It made nothing: no server's mutex is there for a call to take.
  EXPECT_EQ(CACHE_E_MUTEX_OPEN, ClientGetRoleProperties(&capacity, nullptr, nullptr));
  const Result refused = Run({"service", "install", "--name", name, "--folder", folder_});
  EXPECT_EQ(2, refused.code) << refused.out;
  EXPECT_TRUE(Contains(refused.err, "--directory file:PATH")) << refused.err;
  EXPECT_EQ(1, Run({"service", "uninstall", "--name", name}).code);
#else
  const Result r = Run({"service", "install"});
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Contains(r.err, "systemd")) << r.err;
#endif
}
