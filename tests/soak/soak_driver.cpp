#include "soak_driver.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "soak_board.h"
#include "soak_directory.h"
#include "soak_processes.h"

namespace tq5::soak {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr int kStartMs = 60000;    // a server's start, a worker's clean stop, one command
constexpr int kStallSeconds = 30;  // no lookup and no hold finished for this long: a hang
constexpr int kVersions = 2;       // of the directory, switched during the run
constexpr int kSwitchMs = 3000;    // how often the directory changes

volatile sig_atomic_t interrupted = 0;
void OnSignal(int) { interrupted = 1; }

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Totals {
  uint64_t lookups = 0, answers = 0, wrong = 0, unexpected = 0, timeouts = 0, unavailable = 0,
           repairs = 0, holds = 0;
};

struct Worker {
  bool holder = false;
  int slot = 0;
  pid_t pid = -1;
  std::string log;
};

class Soak {
 public:
  explicit Soak(const SoakOptions& options) : options_(options), random_(options.seed) {}

  int Run() {
    if (Setup() && StartServer() && WaitForCacheFile() && StartWorkers()) {
      const auto end =
          Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(options_.seconds * 1000));
      auto nextSwitch = Clock::now() + std::chrono::milliseconds(kSwitchMs);
      while (failures_.empty() && Clock::now() < end && Idle(250 + random_() % 750)) {
        KillOne();
        if (Clock::now() < nextSwitch) continue;
        InstallVersion((version_ + 1) % kVersions);
        ++switches_;
        nextSwitch = Clock::now() + std::chrono::milliseconds(kSwitchMs);
      }
      if (failures_.empty() && interrupted) Fail("interrupted");
      if (failures_.empty()) FinalChecks();
    }
    Report();
    Cleanup();
    return failures_.empty() ? 0 : 1;
  }

 private:
  // ---- setting up --------------------------------------------------------------------
  bool Setup() {
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tq5soak-XXXXXX";
    if (!mkdtemp(pattern.data())) return Fail("cannot make a temporary folder");
    dir_ = pattern;
    prefix_ = "tq5soak" + std::to_string(getpid()) + "_";
    std::filesystem::create_directories(dir_ + "/folder");
    std::filesystem::create_directories(dir_ + "/registry");
    setenv("TQ5ORVCACHE_OBJECT_PREFIX", prefix_.c_str(), 1);
    setenv("MERLOC_GROUP_FOLDER_NAME", (dir_ + "/folder").c_str(), 1);
    setenv("TQ5ORVCACHE_REGISTRY_ROOT", (dir_ + "/registry").c_str(), 1);
    // No settings file: the machine's own settings stay out of the run.
    setenv("TQ5ORVCACHE_CONFIG", (dir_ + "/tq5orvcache.conf").c_str(), 1);
    directoryPath_ = dir_ + "/directory.txt";
    setenv("TQ5ORVCACHE_DIRECTORY", ("file:" + directoryPath_).c_str(), 1);
    versions_.resize(kVersions);
    for (int v = 0; v < kVersions; ++v) {
      versionPaths_.push_back(dir_ + "/directory-" + std::to_string(v) + ".txt");
      std::ofstream(versionPaths_.back()) << SoakDirectoryText(options_.seed, v, options_.users);
      std::string error;
      if (!versions_[static_cast<std::size_t>(v)].Load(versionPaths_.back(), &error)) {
        return Fail("directory file: " + error);
      }
    }
    if (!InstallVersion(0)) return false;
    // Last, so that a run can also replace any of the above.
    for (const std::string& setting : options_.environment) {
      const std::size_t eq = setting.find('=');
      setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
    }
    boardPath_ = dir_ + "/board";
    board_ = MapBoard(boardPath_, true);
    if (!board_) return Fail("cannot map the scoreboard");
    return true;
  }

  std::string CacheFile() const { return dir_ + "/folder/TQ5ORVCACHE.dat"; }

  // The directory file is replaced in one step: a fetch reads one version or the other.
  bool InstallVersion(int version) {
    const std::string next = directoryPath_ + ".next";
    std::filesystem::copy_file(versionPaths_[static_cast<std::size_t>(version)], next,
                               std::filesystem::copy_options::overwrite_existing);
    if (std::rename(next.c_str(), directoryPath_.c_str()) != 0) {
      return Fail("cannot replace the directory file");
    }
    version_ = version;
    return true;
  }

  // ---- the server --------------------------------------------------------------------
  // Starts a server over whatever the last one left (a killed one leaves its pid file,
  // its region's name and the mutex) and waits until it says it is ready.
  bool StartServer() {
    serverLog_ = dir_ + "/server-" + std::to_string(++serverStarts_) + ".log";
    serverPid_ = Spawn({options_.orvcache, "server", "--directory", "file:" + directoryPath_,
                        "--roles-interval", "1s", "--sweep-interval", "2s", "--write-interval",
                        "1s", "--fetch-timeout", std::to_string(kFetchLimitMs), "--pid-file",
                        dir_ + "/server.pid", "--stop-file", dir_ + "/server.stop"},
                       serverLog_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    while (Clock::now() < deadline && !interrupted) {
      const std::string log = ReadFile(serverLog_);
      if (log.find(" ready: ") != std::string::npos) {
        // Every cache file the soak leaves was written whole, so a restart must use it.
        if (serverStarts_ == 1 || log.find("from the cache file") != std::string::npos) return true;
        return Fail("server start " + std::to_string(serverStarts_) +
                    " did not take the region from the cache file:\n" + Tail(serverLog_, 3000));
      }
      const Ended e = Poll(serverPid_);
      if (e.ended) {
        serverPid_ = -1;
        return Fail("server start " + std::to_string(serverStarts_) + " failed (" + e.Describe() +
                    "):\n" + Tail(serverLog_, 3000));
      }
      SleepMs(20);
    }
    return Fail("server start " + std::to_string(serverStarts_) + " did not become ready:\n" +
                Tail(serverLog_, 3000));
  }

  // Later starts find a cache file, so none of them shows clients an empty role table.
  bool WaitForCacheFile() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    while (!std::filesystem::exists(CacheFile())) {
      if (Clock::now() >= deadline) return Fail("the server never wrote its cache file");
      SleepMs(20);
    }
    return true;
  }

  // ---- workers -----------------------------------------------------------------------
  bool StartWorkers() {
    for (int i = 0; i < options_.clients + options_.holders; ++i) {
      Worker worker;
      worker.holder = i >= options_.clients;
      worker.slot = i;
      worker.log = dir_ + (worker.holder ? "/holder-" : "/client-") + std::to_string(i) + ".log";
      workers_.push_back(worker);
    }
    for (Worker& worker : workers_) {
      if (!StartWorker(worker)) return false;
    }
    return true;
  }

  bool StartWorker(Worker& worker) {
    const std::string seed = std::to_string(random_());
    const std::string slot = std::to_string(worker.slot);
    worker.pid = worker.holder
                     ? Spawn({options_.self, "holder", boardPath_, slot, seed}, worker.log)
                     : Spawn(ClientCommand(slot, seed), worker.log);
    return worker.pid > 0 || Fail("cannot start a worker");
  }

  // The first position runs a client that skips the start-up.
  std::vector<std::string> ClientCommand(const std::string& slot, const std::string& seed) const {
    std::vector<std::string> command = {options_.self, slot == "0" ? "bare-client" : "client",
                                        boardPath_,    slot,
                                        seed,          std::to_string(options_.users)};
    command.insert(command.end(), versionPaths_.begin(), versionPaths_.end());
    return command;
  }

  // Adds a slot's counts to the totals and clears it for the position's next process.
  void Fold(int index) {
    WorkerSlot& s = board_->slots[index];
    folded_.lookups += s.lookups.exchange(0);
    folded_.answers += s.answers.exchange(0);
    folded_.wrong += s.wrong.exchange(0);
    folded_.unexpected += s.unexpected.exchange(0);
    folded_.timeouts += s.timeouts.exchange(0);
    folded_.unavailable += s.unavailable.exchange(0);
    folded_.repairs += s.repairs.exchange(0);
    folded_.holds += s.holds.exchange(0);
    s.holding.store(0);
  }

  Totals Sum() const {
    Totals t = folded_;
    for (const Worker& worker : workers_) {
      const WorkerSlot& s = board_->slots[worker.slot];
      t.lookups += s.lookups;
      t.answers += s.answers;
      t.wrong += s.wrong;
      t.unexpected += s.unexpected;
      t.timeouts += s.timeouts;
      t.unavailable += s.unavailable;
      t.repairs += s.repairs;
      t.holds += s.holds;
    }
    return t;
  }

  // ---- the run -----------------------------------------------------------------------
  // Waits `ms` while watching for processes that end on their own and for a stall.
  bool Idle(unsigned ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
      if (interrupted || !Reap() || !Watchdog()) return false;
      SleepMs(25);
    }
    return true;
  }

  bool Reap() {
    for (Worker& worker : workers_) {
      const Ended e = Poll(worker.pid);
      if (!e.ended) continue;
      worker.pid = -1;
      return Fail("a " + std::string(worker.holder ? "holder" : "client") + " ended by itself (" +
                  e.Describe() + "):\n" + Tail(worker.log, 3000));
    }
    const Ended e = Poll(serverPid_);
    if (!e.ended) return true;
    serverPid_ = -1;
    return Fail("the server ended by itself (" + e.Describe() + "):\n" + Tail(serverLog_, 3000));
  }

  bool Watchdog() {
    const Totals t = Sum();
    const uint64_t progress = t.lookups + t.holds;
    if (progress != lastProgress_) {
      lastProgress_ = progress;
      lastProgressAt_ = Clock::now();
      return true;
    }
    if (Clock::now() - lastProgressAt_ < std::chrono::seconds(kStallSeconds)) return true;
    return Fail("no lookup or hold finished for " + std::to_string(kStallSeconds) +
                " s: the cache hangs");
  }

  void KillOne() {
    const unsigned pick = random_() % 100;
    if (pick < 20) {
      KillNow(serverPid_);
      serverPid_ = -1;
      ++serverKills_;
      StartServer();
      lastProgressAt_ = Clock::now();  // the wait for the start is not a stall
      return;
    }
    const bool holder = options_.holders > 0 && pick < 50;
    const int index = holder ? options_.clients + static_cast<int>(random_() % options_.holders)
                             : static_cast<int>(random_() % options_.clients);
    Worker& worker = workers_[static_cast<std::size_t>(index)];
    if (holder) {
      // Wait (up to 2 s) for the holder to be inside the mutex, so most kills hit a holder.
      for (int i = 0; i < 1000 && !board_->slots[index].holding.load(); ++i) SleepMs(2);
    }
    KillNow(worker.pid);
    worker.pid = -1;
    // The flag is set only after the take and cleared before the release: a holder
    // that died with it set died holding the mutex.
    if (holder) {
      ++holderKills_;
      holderKillsHolding_ += board_->slots[index].holding.load() == 1;
    } else {
      ++clientKills_;
    }
    Fold(index);
    StartWorker(worker);
  }

  // ---- the end -----------------------------------------------------------------------
  void FinalChecks() {
    board_->stop.store(1);
    for (Worker& worker : workers_) {
      const Ended e = WaitFor(worker.pid, kStartMs);
      if (!e.ended) {
        KillNow(worker.pid);
        Fail("a worker did not stop within a minute: the cache hangs:\n" + Tail(worker.log, 3000));
      } else if (e.signaled || e.code != 0) {
        Fail("a worker failed at its stop (" + e.Describe() + "):\n" + Tail(worker.log, 3000));
      }
      worker.pid = -1;
    }
    if (!failures_.empty() || !WaitForSettledSweep()) return;

    const Json live = Command({"check"});
    if (live.value("sound", false) != true) Fail("the live region is not sound: " + live.dump());
    CompareUsers(Command({"users"}));

    std::ofstream(dir_ + "/server.stop") << "stop\n";
    const Ended e = WaitFor(serverPid_, kStartMs);
    serverPid_ = -1;
    if (!e.ended || e.signaled || e.code != 0) {
      Fail("the server did not stop cleanly (" + e.Describe() + "):\n" + Tail(serverLog_, 3000));
      return;
    }
    const Json file = Command({"check", "--file", CacheFile()});
    if (file.value("sound", false) != true) Fail("the cache file is not sound: " + file.dump());
    finalChecked_ = failures_.empty();
  }

  // Waits for a sweep that began after the directory's last change and refreshed every
  // cached user: the second sweep from now that reports no pending and no failed user.
  bool WaitForSettledSweep() {
    const std::size_t from = ReadFile(serverLog_).size();
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
    while (Clock::now() < deadline) {
      const std::string log = ReadFile(serverLog_);
      std::size_t at = from, sweeps = 0;
      while ((at = log.find(" sweep: ", at)) != std::string::npos) {
        const std::size_t end = log.find('\n', at);
        if (end == std::string::npos) break;
        const std::string line = log.substr(at, end - at);
        if (++sweeps >= 2 && line.find(" 0 pending, 0 failed") != std::string::npos) return true;
        at = end;
      }
      SleepMs(50);
    }
    return Fail("no sweep refreshed every cached user within a minute of the last change:\n" +
                Tail(serverLog_, 3000));
  }

  // Runs `orvcache --json ARGS` and gives its JSON (an empty object on failure).
  Json Command(std::vector<std::string> args) {
    args.insert(args.begin(), {options_.orvcache, "--json"});
    const CommandRun run = RunCommand(args, dir_ + "/command.log", kStartMs);
    std::string shown;
    for (const std::string& arg : args) shown += " " + arg;
    if (run.timedOut) {
      Fail("orvcache" + shown + " hung");
      return Json::object();
    }
    Json parsed = Json::parse(run.output, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
      Fail("orvcache" + shown + " (" + run.end.Describe() + ") printed:\n" + run.output);
      return Json::object();
    }
    return parsed;
  }

  // Every cached user's committed roles are exactly what the directory's installed
  // version gives the user.
  void CompareUsers(const Json& listing) {
    if (!listing.contains("users")) {
      Fail("no user listing: " + listing.dump());
      return;
    }
    for (const Json& user : listing["users"]) {
      const std::string name = user.value("user", "");
      const int number = name.size() > 1 && name[0] == 'u' ? std::atoi(name.c_str() + 1) : -1;
      std::vector<std::string> roles;
      for (const Json& role : user["roles"]) {
        roles.push_back(role["name"].is_string()
                            ? role["name"].get<std::string>() + "\t" + role["id"].get<std::string>()
                            : std::string("<no role>"));
      }
      const Expectation want = number >= 0 && number <= options_.users
                                   ? Expect({versions_[static_cast<std::size_t>(version_)]}, number)
                                   : Expectation{};
      if (user.value("domain", "") != kDomain || number < 0 || !want.Allows(SortedRoles(roles))) {
        // The first few in full; the count says the rest.
        if (++cachedMismatches_ <= 3)
          Fail("cached user differs from the directory: " + user.dump());
      }
      ++cachedUsers_;
    }
  }

  void Report() {
    const Totals t = Sum();
    if (cachedMismatches_ > 3) {
      Fail(std::to_string(cachedMismatches_) + " cached users differ from the directory");
    }
    if (t.wrong) Fail(std::to_string(t.wrong) + " wrong answers");
    if (t.unexpected) Fail(std::to_string(t.unexpected) + " unexpected result codes");
    if (t.wrong || t.unexpected) {
      for (const Worker& worker : workers_) {
        const std::string tail = Tail(worker.log, 2000);
        if (!tail.empty()) std::printf("--- %s\n%s\n", worker.log.c_str(), tail.c_str());
      }
    }
    std::printf(
        "soak: seed %u, %.0f s, %d clients, %d holders, %d users, directory delays up to "
        "100 ms and one of %d ms, fetch limit %d ms\n",
        options_.seed, options_.seconds, options_.clients, options_.holders, options_.users,
        kTooSlowMs, kFetchLimitMs);
    for (const std::string& setting : options_.environment) {
      std::printf("soak: with %s\n", setting.c_str());
    }
    std::printf("soak: directory changes %d\n", switches_);
    std::printf(
        "soak: kills %d: clients %d, holders %d (%d inside the global cache mutex), "
        "server %d; server starts %d\n",
        clientKills_ + holderKills_ + serverKills_, clientKills_, holderKills_, holderKillsHolding_,
        serverKills_, serverStarts_);
    std::printf(
        "soak: lookups %llu; answers with roles %llu; timeouts %llu; calls during a "
        "region's replacement %llu; holds %llu; repairs seen by workers %llu\n",
        static_cast<unsigned long long>(t.lookups), static_cast<unsigned long long>(t.answers),
        static_cast<unsigned long long>(t.timeouts), static_cast<unsigned long long>(t.unavailable),
        static_cast<unsigned long long>(t.holds), static_cast<unsigned long long>(t.repairs));
    std::printf(
        "soak: wrong answers %llu; unexpected result codes %llu; cached users compared "
        "%d, differing %d\n",
        static_cast<unsigned long long>(t.wrong), static_cast<unsigned long long>(t.unexpected),
        cachedUsers_, cachedMismatches_);
    if (finalChecked_ && failures_.empty()) {
      std::printf("soak: live region and cache file sound; PASSED\n");
    }
    for (const std::string& failure : failures_) std::printf("soak: FAILED: %s\n", failure.c_str());
    std::fflush(stdout);
  }

  void Cleanup() {
    for (Worker& worker : workers_) {
      if (worker.pid > 0) KillNow(worker.pid);
    }
    if (serverPid_ > 0) KillNow(serverPid_);
    if (!prefix_.empty()) UnlinkSharedObjects(prefix_);
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  bool Fail(const std::string& why) {
    failures_.push_back(why);
    return false;
  }

  const SoakOptions options_;
  std::mt19937 random_;
  std::string dir_, prefix_, directoryPath_, boardPath_, serverLog_;
  std::vector<platform::DirectoryFile> versions_;
  std::vector<std::string> versionPaths_;
  int version_ = 0, switches_ = 0;
  Board* board_ = nullptr;
  pid_t serverPid_ = -1;
  std::vector<Worker> workers_;
  Totals folded_;
  uint64_t lastProgress_ = 0;
  Clock::time_point lastProgressAt_ = Clock::now();
  int serverStarts_ = 0, serverKills_ = 0, clientKills_ = 0, holderKills_ = 0,
      holderKillsHolding_ = 0, cachedUsers_ = 0, cachedMismatches_ = 0;
  bool finalChecked_ = false;
  std::vector<std::string> failures_;
};

}  // namespace

int RunSoak(const SoakOptions& options) { return Soak(options).Run(); }

}  // namespace tq5::soak
