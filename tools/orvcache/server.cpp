// The cache server: starts the region (from the cache file when there is a usable one),
// loads the complete role list, then on its own timers merges a fresh role list, runs
// the expiry sweep and writes the cache file, until a stop request; then it writes the
// cache file once more and shuts the region down. A reload request merges the role list
// and writes the cache file at once. One log line per action.
#include "server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "access_report.h"
#include "cache_access.h"
#include "error_words.h"
#include "event_log.h"
#include "host.h"
#include "output.h"
#include "progress.h"
#include "role_source.h"
#include "server_log.h"
#include "service.h"
#include "service_manager.h"
#include "settings_report.h"
#include "tq5orvcache_admin.h"

namespace orvcache {

namespace {

void CheckLogLevel(const std::string& value, const std::string&) { ParseLogLevel(value); }

}  // namespace

const std::vector<OptionSpec> kServerOptions = {
    {"--directory", "nss|file:PATH",
     "where the role list comes from (default: the machine's\n`directory` setting)"},
    {"--roles-interval", "D", "merge a fresh role list this often (default 10m)", CheckDuration},
    {"--sweep-interval", "D",
     "drop users unused for three days and fetch the others'\nroles again this often (default "
     "1h)",
     CheckDuration},
    {"--write-interval", "D", "write the cache file this often (default 5m)", CheckDuration},
    {"--fetch-timeout", "MS",
     "each fetch of the sweep waits this long (default: the\nregistry's limit)", CheckMilliseconds},
    {"--pid-file", "PATH", "written once the server is ready, removed when it stops"},
    {"--stop-file", "PATH", "the server stops when this file appears"},
    {"--log-level", "LEVEL", "error, warning, info (default) or debug", CheckLogLevel},
    {"--no-cache-file", nullptr,
     "run without a cache file: without it the server refuses\nto start when there is no "
     "cache folder (neither\nMERLOC_GROUP_FOLDER_NAME nor, on Linux, the settings\nfile's "
     "cache-folder), it is missing or the path would be\nover 255 characters"},
    {"--start-afresh", nullptr,
     "a cache file that is there but cannot be read is kept\naside and the cache starts empty "
     "(without it the start\nis refused)"},
    {"--log-file", "PATH", "append the log (and any failure) to PATH instead of\nprinting it"},
    {"--service", nullptr,
     "run under the Windows service control manager (what\n`orvcache service install` writes "
     "into the service)"},
    {"--event-source", "NAME",
     "report start, readiness, reloads, failed writes and the\nstop to the Windows Application "
     "log under NAME"}};

namespace {

using Clock = std::chrono::steady_clock;

// The start line names a restricted access; the default adds nothing.
std::string AccessNote() {
  const std::string access = AccessSettingText();
  return access == tq5::admin::kAccessEveryone ? "" : "; only " + access + " may use it";
}

constexpr int64_t kDefaultRolesIntervalMs = 10 * 60 * 1000;
constexpr int64_t kDefaultSweepIntervalMs = 60 * 60 * 1000;
constexpr int64_t kDefaultWriteIntervalMs = 5 * 60 * 1000;
// How often a stop file is looked for.
constexpr int64_t kStopFilePollMs = 200;

struct Settings {
  std::string directory;
  bool directoryGiven = false;  // --directory: else the machine's setting, read at each merge
  int64_t rolesIntervalMs = kDefaultRolesIntervalMs;
  int64_t sweepIntervalMs = kDefaultSweepIntervalMs;
  int64_t writeIntervalMs = kDefaultWriteIntervalMs;
  int32_t fetchTimeoutMs = 0;
  std::string pidFile;
  std::string stopFile;
  LogLevel logLevel = LogLevel::Info;
  bool noCacheFile = false;
  // A cache file that cannot be read is kept aside and the region starts empty, instead
  // of the start being refused.
  bool startAfresh = false;
  std::string logFile;
  std::string eventSource;
};

Settings ReadSettings(const Args& args) {
  Settings s;
  s.directoryGiven = args.Has("--directory");
  s.directory = DirectoryChoice(s.directoryGiven ? args.Value("--directory") : "");
  if (args.Has("--roles-interval")) {
    s.rolesIntervalMs = ParseDurationMs(args.Value("--roles-interval"), "--roles-interval");
  }
  if (args.Has("--sweep-interval")) {
    s.sweepIntervalMs = ParseDurationMs(args.Value("--sweep-interval"), "--sweep-interval");
  }
  if (args.Has("--write-interval")) {
    s.writeIntervalMs = ParseDurationMs(args.Value("--write-interval"), "--write-interval");
  }
  if (args.Has("--fetch-timeout")) {
    s.fetchTimeoutMs = static_cast<int32_t>(
        ParseInteger(args.Value("--fetch-timeout"), 0, INT32_MAX, "--fetch-timeout"));
  }
  if (args.Has("--pid-file")) s.pidFile = args.Value("--pid-file");
  if (args.Has("--stop-file")) s.stopFile = args.Value("--stop-file");
  if (args.Has("--log-level")) s.logLevel = ParseLogLevel(args.Value("--log-level"));
  s.noCacheFile = args.Has("--no-cache-file");
  s.startAfresh = args.Has("--start-afresh");
  if (args.Has("--log-file")) s.logFile = args.Value("--log-file");
  if (args.Has("--event-source")) s.eventSource = args.Value("--event-source");
  return s;
}

std::string Every(int64_t ms) { return ms > 0 ? "every " + FormatDuration(ms) : "never"; }

class Stopwatch {
 public:
  int64_t ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  }

 private:
  Clock::time_point start_ = Clock::now();
};

class Server {
 public:
  Server(Settings settings, bool json)
      : s_(std::move(settings)),
        log_(json, s_.logLevel, s_.logFile.empty() && !host::StdoutIsTerminal()) {}

  int Run();

 private:
  int Serve();
  bool Start();
  void PublishSettings();
  bool ChooseCacheFile(std::string* origin);
  bool FolderWritable(const std::string& folder);
  void RestrictCacheFile();
  // One warning per problem of the machine's settings, but those of the setting `except`.
  void WarnSettingsProblems(const std::string& except = "");
  void KeepAside(const std::string& reason);
  void RepairRegion();
  // `routine`: a timer's merge, logged at debug level when it changed nothing.
  bool LoadRoles(bool first, bool routine = false);
  void Sweep();
  bool Write();
  bool ShutDown();
  std::string WaitForStop(int64_t ms);

  // A start that failed: logged, and reported as an event with its reason.
  bool Refuse(const std::string& reason);

  Settings s_;
  Log log_;
  std::string cacheFile_;
  // Why the start-up set the cache file aside, which the region's start then cannot find.
  std::string keptAsideReason_;
  int64_t startedAt_ = 0;
};

bool Server::Refuse(const std::string& reason) {
  log_.Error("start", reason, -1);
  event_log::Report(event_log::Event::StartFailed, reason);
  return false;
}

// A server that cannot keep its cache across a restart refuses to start unless told
// that this is wanted: otherwise a misconfigured unit would run for months and lose every
// cached user at each restart without anyone noticing.
bool Server::ChooseCacheFile(std::string* origin) {
  // The folder is fixed for this run, wherever it came from: a changed cache-folder in
  // the settings file must not move the writes of a running server away from the file
  // that its start-up checked and read.
  if (const char* folder = tq5::admin::ProcessVariable("MERLOC_GROUP_FOLDER_NAME")) {
    host::SetEnvironment("MERLOC_GROUP_FOLDER_NAME", folder);
  }
  std::string why;
  cacheFile_ = CacheFilePath(&why);
  if (!cacheFile_.empty()) {
    const std::filesystem::path folder = std::filesystem::path(cacheFile_).parent_path();
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
      why = "the cache file's folder " + folder.string() + " does not exist";
      cacheFile_.clear();
    }
  }
  if (s_.noCacheFile) {
    // Neither read nor written, whatever the variable or the settings file names: an
    // empty folder names none and keeps the machine's out.
    host::SetEnvironment("MERLOC_GROUP_FOLDER_NAME", "");
    cacheFile_.clear();
    log_.Note("warning", "--no-cache-file: the cache starts empty and is not written to a file",
              Json::object(), LogLevel::Warning);
    *origin = "from the defaults (no cache file)";
    return true;
  }
  if (cacheFile_.empty()) {
    return Refuse(why + ": the cache could not survive a restart; name an existing folder (" +
                  tq5::admin::SettingHint(tq5::admin::kCacheFolderSetting) +
                  "), or give --no-cache-file to run without a cache file");
  }
  // Anyone who may write the folder may plant the cache file or a link where it is
  // written.
  std::string folderWhy;
  const std::string folder = std::filesystem::path(cacheFile_).parent_path().string();
  if (!tq5::admin::CacheFolderAccepted(folder, &folderWhy)) {
    log_.Error("start", "the cache file's folder " + folderWhy, -1);
    return false;
  }
  if (!folderWhy.empty()) {
    log_.Note("warning", "the cache file's folder " + folderWhy, Json::object(), LogLevel::Warning);
  }
  if (!FolderWritable(folder)) return false;
  const CacheFileCheck check = CheckCacheFile(cacheFile_);
  if (check.unreadable && !s_.startAfresh) {
    // Not damage: a file of another account, or one whose mode was changed. Going on
    // would start empty and replace it, with every cached user, at the first write.
    return Refuse("the cache file " + cacheFile_ + " is there but cannot be read (" +
                  check.systemReason +
                  "): starting would replace it and lose its cached users. Give this account (" +
                  host::AccountName() + ") read access to it (on Linux, for instance, `chown " +
                  host::AccountName() + " " + cacheFile_ +
                  "`), or start once with --start-afresh to keep it aside and start empty");
  }
  std::string unusable = check.reason;
  if (check.usable && (check.header.roleCapacity == 0 || check.header.userCapacity == 0)) {
    // The library builds such a region, but no role or no user could be kept in it.
    unusable = "its tables have no room (" + std::to_string(check.header.roleCapacity) +
               " role slots, " + std::to_string(check.header.userCapacity) + " user slots)";
  }
  const bool usable = check.usable && unusable.empty();
  if (!usable && check.present) {
    KeepAside(unusable);
    keptAsideReason_ = unusable;
  }
  return true;
}

// An unusable cache file would be replaced by the first write: it is kept under another
// name for whoever wants to find out what became of it, and the start-up builds the
// default region.
void Server::WarnSettingsProblems(const std::string& except) {
  for (const SettingProblem& problem : SettingsProblems()) {
    if (!except.empty() && problem.setting == except) continue;
    log_.Note("warning", "settings: " + problem.text, {{"setting", problem.setting}},
              LogLevel::Warning);
  }
}

void Server::KeepAside(const std::string& reason) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::gmtime(&now));
  // Never over a file kept aside before (two starts within a second): only this
  // account and root may write the folder, so a name found free stays free.
  std::string aside = cacheFile_ + ".unusable-" + stamp;
  std::error_code error;
  for (int n = 2; std::filesystem::symlink_status(aside, error).type() !=
                  std::filesystem::file_type::not_found;
       ++n) {
    aside = cacheFile_ + ".unusable-" + stamp + "-" + std::to_string(n);
  }
  error.clear();
  std::filesystem::rename(cacheFile_, aside, error);
  log_.Note("warning",
            "the cache file " + cacheFile_ + " is unusable (" + reason + "): " +
                (error ? "it could not be kept aside (" + error.message() + ")"
                       : "kept aside as " + aside) +
                "; the region starts from the defaults",
            Json::object(), LogLevel::Warning);
}

// A folder that this account cannot write would show only at the first write, minutes
// later, or at the stop, and lose what was cached since the start: the start-up makes
// and removes a temporary file there as each write does.
bool Server::FolderWritable(const std::string& folder) {
  std::string why;
  if (!tq5::admin::FolderWritable(folder, &why)) {
    return Refuse("the cache file's folder " + folder + " cannot be written by this account (" +
                  host::AccountName() + "): " + why +
                  "; no cache file could be written. Give the account write access to the "
                  "folder (on Linux, for instance, `chown " +
                  host::AccountName() + " " + folder + "`), or name another (" +
                  tq5::admin::SettingHint(tq5::admin::kCacheFolderSetting) + ")");
  }
  return true;
}

// A cache file written before the access was restricted stays readable by everyone
// until the next write: one write now gives it the restricted access (the write makes
// each new file so).
void Server::RestrictCacheFile() {
  std::error_code error;
  if (cacheFile_.empty() || AccessSettingText() == tq5::admin::kAccessEveryone ||
      !std::filesystem::exists(cacheFile_, error)) {
    return;
  }
  log_.Note("access", "the cache file " + cacheFile_ + " is written again at the start so that " +
                          AccessSettingText() + " alone may read it");
  Write();
}

// Damage that nobody's death explains (a stray writer) is mended as the death of an
// owner is, and the server serves on.
void Server::RepairRegion() {
  tq5::admin::Findings findings;
  if (tq5::admin::RepairServerRegion(&findings) != CACHE_OK || findings.sound()) return;
  std::string detail = std::to_string(findings.lines.size()) +
                       " violation(s): " + findings.lines.front() +
                       (findings.lines.size() > 1 ? "; ..." : "");
  log_.Note(
      "repair",
      (findings.unbound ? "the region is damaged beyond repair: " : "the region was damaged: ") +
          detail + (findings.unbound ? "" : "; repaired, serving on"),
      {{"violations", findings.lines}}, LogLevel::Warning);
}

bool Server::Start() {
  // Refused before anything is made: a service that serves an old cache file's roles
  // while it cannot load any would look healthy and never follow the directory.
  if (const std::string missing = MissingRoleSource(s_.directory); !missing.empty()) {
    return Refuse(missing);
  }
  // Where the region came from: the start-up says (admin::LatestRegionOrigin); without a
  // cache file, ChooseCacheFile says so itself.
  std::string origin;
  if (!ChooseCacheFile(&origin)) return false;
  const std::string settingsProblem = tq5::admin::SettingsFileProblem();
  if (!settingsProblem.empty()) {
    log_.Note("warning", settingsProblem, Json::object(), LogLevel::Warning);
  }
  host::AcceptRequests(cacheFile_);
  // A directory that cannot be used is the start-up's error below, not a warning.
  WarnSettingsProblems("directory");
  std::string unusable;
  const std::string machineDirectory = tq5::admin::ReadSetting("directory").value;
  if (!DirectoryUsable(s_.directory, &unusable) ||
      (s_.directory != machineDirectory && !DirectoryUsable(machineDirectory, &unusable, true))) {
    // Every lookup's miss would fail, or the role table would stay as the cache file left
    // it: a server that reported itself ready would hide that.
    log_.Error("start",
               "the directory cannot be used: " + unusable + "; fix it (" +
                   tq5::admin::SettingHint("directory") +
                   (s_.directoryGiven ? ", or --directory" : "") +
                   "; `orvcache settings --check` lists every problem)",
               -1);
    return false;
  }
  const std::string defaultDirectory = host::DefaultDirectory();
  // Only where lookups fetch from the setting's directory too (POSIX); on Windows they ask
  // the directory component whatever the role list's file.
  if (!defaultDirectory.empty() && s_.directory != machineDirectory) {
    // The option feeds the role list only; every process's lookups follow the setting.
    log_.Note("warning",
              "--directory " + s_.directory +
                  " differs from the machine's directory "
                  "setting (" +
                  (machineDirectory.empty() ? defaultDirectory : machineDirectory) + ", " +
                  tq5::admin::SettingsLocation() + "), which lookups fetch from",
              Json::object(), LogLevel::Warning);
  }

  Stopwatch watch;
  ResultCode rc = InitializeTQ5ORVCacheServer();
  if (rc == CACHE_OK) rc = InitializeCacheDataSharedMemory();
  if (rc != CACHE_OK) {
    std::string context;
    if (rc == CACHE_E_REGION_EXISTS) {
      // Nothing of the running server's was touched: not its region, file or pid file.
      const unsigned long pid = tq5::admin::RegionServerProcessId();
      context = "another cache server is running" +
                (pid != 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                " with these kernel objects; stop it first, or give this one --prefix";
    } else {
      const std::string access = tq5::admin::TakeAccessProblem();
      context = access.empty() ? Explain(rc) : access;
    }
    log_.Action("start", rc, watch.ms(), context);
    event_log::Report(event_log::Event::StartFailed, Explain(rc) + ": " + context);
    UninitializeTQ5ORVCache();
    return false;
  }
  if (origin.empty()) {
    // As the start-up built it; a file set aside above is one it could not find.
    const tq5::admin::RegionOrigin made = tq5::admin::LatestRegionOrigin();
    origin = made.fromFile ? "from the cache file " + cacheFile_
                           : "from the defaults (" + cacheFile_ + ": " +
                                 (keptAsideReason_.empty() ? made.reason : keptAsideReason_) + ")";
  }
  const CacheHeader h = ReadHeader(Side::Server);
  log_.Action("start", rc, watch.ms(),
              "region " + origin + ": " + std::to_string(h.roleActiveCount) + " of " +
                  std::to_string(h.roleCapacity) + " role slots and " +
                  std::to_string(h.userActiveCount) + " of " + std::to_string(h.userCapacity) +
                  " user slots in use" + AccessNote(),
              {{"roles", h.roleActiveCount},
               {"users", h.userActiveCount},
               {"fromCacheFile", origin.rfind("from the cache file", 0) == 0}});
  event_log::Report(event_log::Event::Started, "region " + origin);
  PublishSettings();
  RestrictCacheFile();
  return true;
}

// What `orvcache status` shows as the server's own view: the settings it really runs with.
void Server::PublishSettings() {
  tq5::admin::ServerSettings settings;
  settings.processId = host::ProcessId();
  if (startedAt_ == 0) startedAt_ = NowSeconds();
  settings.startedAt = startedAt_;
  settings.fetchTimeoutMs = tq5::admin::SettleFetchTimeout(s_.fetchTimeoutMs);
  settings.rolesIntervalMs = s_.rolesIntervalMs;
  settings.sweepIntervalMs = s_.sweepIntervalMs;
  settings.writeIntervalMs = s_.writeIntervalMs;
  settings.cacheFile = cacheFile_;
  settings.directory = s_.directory;
  settings.version = TQ5ORVCACHE_VERSION;
  if (!tq5::admin::PublishServerSettings(settings)) {
    log_.Note("warning",
              "no statistics object: the machine's counters are not kept and `orvcache status` "
              "cannot show this server's settings",
              Json::object(), LogLevel::Warning);
  }
}

namespace {

// Whether two listings of the role table name the same roles in the same slots, listed
// alike: what a merge can change.
bool SameRoles(const std::vector<RoleEntry>& a, const std::vector<RoleEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].slot != b[i].slot || a[i].listed != b[i].listed ||
        FieldText(a[i].name) != FieldText(b[i].name) || FieldText(a[i].id) != FieldText(b[i].id)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool Server::LoadRoles(bool first, bool routine) {
  const std::string action = first ? "roles" : "merge";
  Stopwatch watch;
  RoleList list;
  if (!s_.directoryGiven && !first) {
    // The machine's directory setting, as every process's lookups follow it.
    const std::string now = DirectoryChoice("");
    if (now != s_.directory) {
      log_.Note("directory", "the machine's directory setting is now " +
                                 (now.empty() ? "nss" : now) + " (was " +
                                 (s_.directory.empty() ? "nss" : s_.directory) +
                                 "): the role list comes from there");
      s_.directory = now;
      PublishSettings();
    }
  }
  try {
    Progress progress("reading the role list");
    list = ReadRoleList(s_.directory, &progress);
  } catch (const ToolError& error) {
    log_.Error(action, error.what(), watch.ms());
    event_log::Report(event_log::Event::RolesFailed, error.what());
    return false;
  }
  const auto count = static_cast<int32_t>(list.roles.size());
  // A full load renumbers the table from slot 0, which would hand the slots that cached
  // users hold to other roles. It is used only while no user is cached; otherwise the
  // list is merged, which keeps every held role in its slot.
  const CacheHeader before = ReadHeader(Side::Server);
  const bool put = first && before.userActiveCount == 0;
  const std::vector<RoleEntry> rolesBefore =
      routine ? ListRoles(Side::Server, false) : std::vector<RoleEntry>();
  ResultCode rc = CACHE_OK;
  {
    Progress progress(put ? "loading the role table" : "merging into the role table");
    rc = put ? PutAllRolesCacheDataSharedMemory(count, list.roles.data())
             : UpdateAllRolesCacheDataSharedMemory(count, list.roles.data());
  }
  const CacheHeader after = ReadHeader(Side::Server);
  const int32_t active = CountActiveRoles(Side::Server);
  std::string detail =
      Count(count, "role") + " from " + list.source + (put ? ", loaded" : ", merged") + "; " +
      std::to_string(after.roleActiveCount) + " in use, " + std::to_string(active) + " active, " +
      std::to_string(after.roleCapacity) + " slots";
  if (list.skipped > 0) {
    detail += "; " + std::to_string(list.skipped) + " skipped (name or id over 63 characters)";
  }
  const bool unchanged =
      routine && rc == CACHE_OK && SameRoles(rolesBefore, ListRoles(Side::Server, false));
  if (unchanged) detail += "; nothing changed";
  log_.Action(action, rc, watch.ms(), detail,
              {{"listed", count},
               {"inUse", after.roleActiveCount},
               {"active", active},
               {"capacity", after.roleCapacity},
               {"skipped", list.skipped},
               {"changed", !unchanged}},
              unchanged ? LogLevel::Debug : LogLevel::Info);
  if (rc != CACHE_OK) event_log::Report(event_log::Event::RolesFailed, Explain(rc) + ": " + detail);
  return rc == CACHE_OK;
}

namespace {

std::vector<std::string> UserKeys(const std::vector<UserEntry>& users) {
  std::vector<std::string> keys;
  for (const UserEntry& user : users) {
    keys.push_back(UserLabel(FieldText(user.domainName), FieldText(user.userName)));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

void Server::Sweep() {
  Stopwatch watch;
  const std::vector<std::string> before = UserKeys(ListUsers());
  ResultCode rc;
  {
    // One export call: its progress cannot be seen from outside, only its time.
    Progress progress("sweep over " + Count(static_cast<int64_t>(before.size()), "user"));
    rc = UpdateAllCurUserRoles(s_.fetchTimeoutMs);
  }
  const int64_t ms = watch.ms();
  const std::vector<UserEntry> users = ListUsers();
  int current = 0, pending = 0, failed = 0;
  for (const UserEntry& user : users) {
    if (user.status == USER_ROLES_CURRENT) ++current;
    if (user.status == USER_ROLES_PENDING) ++pending;
    if (user.status == USER_ROLES_FETCH_FAILED) ++failed;
  }
  // The users cached before that are still there were refreshed; the others were
  // dropped (or deleted meanwhile). Users that lookups added meanwhile count for neither.
  const std::vector<std::string> after = UserKeys(users);
  std::vector<std::string> kept;
  std::set_intersection(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(kept));
  // Of those, the ones whose refresh failed are marked so: they are not refreshed, and
  // the admin needs their names to look into them.
  std::vector<std::string> refreshFailed;
  for (const UserEntry& user : users) {
    const std::string key = UserLabel(FieldText(user.domainName), FieldText(user.userName));
    if (user.status == USER_ROLES_FETCH_FAILED &&
        std::binary_search(kept.begin(), kept.end(), key)) {
      refreshFailed.push_back(key);
    }
  }
  const auto dropped = static_cast<int64_t>(before.size() - kept.size());
  const auto refreshed = static_cast<int64_t>(kept.size() - refreshFailed.size());
  std::string detail =
      "dropped " + Count(dropped, "user") + ", refreshed " + std::to_string(refreshed);
  if (!refreshFailed.empty()) {
    constexpr std::size_t kNamed = 3;
    detail += ", failed to refresh " + std::to_string(refreshFailed.size()) + " (";
    for (std::size_t i = 0; i < refreshFailed.size() && i < kNamed; ++i) {
      detail += (i > 0 ? ", " : "") + refreshFailed[i];
    }
    if (refreshFailed.size() > kNamed) {
      detail += " and " + std::to_string(refreshFailed.size() - kNamed) + " more";
    }
    detail += ")";
  }
  detail += "; " + std::to_string(users.size()) + " cached: " + std::to_string(current) +
            " current, " + std::to_string(pending) + " pending, " + std::to_string(failed) +
            " failed";
  if (rc != CACHE_OK) detail += " (the result is the last refresh's)";
  log_.Action("sweep", rc, ms, detail,
              {{"usersBefore", before.size()},
               {"usersAfter", users.size()},
               {"dropped", dropped},
               {"refreshed", refreshed},
               {"refreshFailed", refreshFailed},
               {"current", current},
               {"pending", pending},
               {"failed", failed}});
}

bool Server::Write() {
  if (cacheFile_.empty()) return true;
  Stopwatch watch;
  const ResultCode rc = WriteCacheDataToFile();
  std::error_code error;
  const auto size = std::filesystem::file_size(cacheFile_, error);
  const std::string reason = SystemReason(rc);
  log_.Action("write", rc, watch.ms(),
              rc != CACHE_OK ? cacheFile_ + (reason.empty() ? "" : ": " + reason)
                             : cacheFile_ + (error ? "" : " (" + std::to_string(size) + " bytes)"),
              {{"path", cacheFile_}});
  if (rc != CACHE_OK) {
    event_log::Report(
        event_log::Event::WriteFailed,
        cacheFile_ + ": " + Explain(rc) + (reason.empty() ? "" : " (" + reason + ")"));
  }
  return rc == CACHE_OK;
}

bool Server::ShutDown() {
  Stopwatch watch;
  const ResultCode rc = UninitializeCacheDataSharedMemory();
  UninitializeTQ5ORVCache();
  log_.Action("shutdown", rc, watch.ms(), rc == CACHE_OK ? "region closed" : "");
  return rc == CACHE_OK;
}

std::string Server::WaitForStop(int64_t ms) {
  if (s_.stopFile.empty()) return host::WaitForStop(ms);
  for (;;) {
    std::error_code error;
    if (std::filesystem::exists(s_.stopFile, error)) return "stop file " + s_.stopFile;
    const int64_t slice = ms < kStopFilePollMs ? ms : kStopFilePollMs;
    std::string reason = host::WaitForStop(slice);
    if (!reason.empty() || host::RequestPending()) return reason;
    ms -= slice;
    if (ms <= 0) return "";
  }
}

int Server::Run() {
  host::InstallStopHandlers();
  std::string error;
  if (!event_log::Open(s_.eventSource, &error)) {
    log_.Note("warning", error + "; the events are not reported", Json::object(),
              LogLevel::Warning);
  }
  struct CloseEvents {
    ~CloseEvents() { event_log::Close(); }
  } closeEvents;
  if (!Start()) return 1;
  try {
    return Serve();
  } catch (const Failure& failure) {
    // Reading the region's figures failed: the region is not what this server made.
    log_.Error("server", failure.what(), -1);
    ShutDown();
    return 1;
  }
}

int Server::Serve() {
  if (!s_.stopFile.empty()) {
    // A stop file left from an earlier run would stop this one at once.
    std::error_code error;
    std::filesystem::remove(s_.stopFile, error);
  }
  const bool rolesLoaded = LoadRoles(true);
  if (!rolesLoaded && ReadHeader(Side::Server).roleActiveCount == 0) {
    // Nothing to answer lookups with: every fetched role would be dropped.
    log_.Note("stop", "no roles to serve", Json::object(), LogLevel::Error);
    ShutDown();
    return 1;
  }
  if (!s_.pidFile.empty()) {
    std::ofstream(s_.pidFile) << host::ProcessId() << "\n";
  }
  const std::string readyText = "pid " + std::to_string(host::ProcessId()) + "; roles " +
                                Every(s_.rolesIntervalMs) + ", sweep " + Every(s_.sweepIntervalMs) +
                                ", write " + Every(s_.writeIntervalMs);
  log_.Note("ready", readyText,
            {{"pid", host::ProcessId()},
             {"rolesIntervalMs", s_.rolesIntervalMs},
             {"sweepIntervalMs", s_.sweepIntervalMs},
             {"writeIntervalMs", s_.writeIntervalMs}});
  // Clients can use the cache from here on: the region is up and the role table loaded.
  event_log::Report(event_log::Event::Ready, readyText);
  service::Ready(readyText);

  struct Timer {
    int64_t intervalMs;
    Clock::time_point due;
  };
  const auto now = Clock::now();
  Timer roles{s_.rolesIntervalMs, now + std::chrono::milliseconds(s_.rolesIntervalMs)};
  Timer sweep{s_.sweepIntervalMs, now + std::chrono::milliseconds(s_.sweepIntervalMs)};
  Timer write{s_.writeIntervalMs, now + std::chrono::milliseconds(s_.writeIntervalMs)};
  auto due = [](const Timer& t, Clock::time_point at) { return t.intervalMs > 0 && t.due <= at; };
  auto rearm = [](Timer& t) { t.due = Clock::now() + std::chrono::milliseconds(t.intervalMs); };

  std::string reason;
  while (reason.empty()) {
    int64_t waitMs = INT32_MAX;
    for (const Timer* t : {&roles, &sweep, &write}) {
      if (t->intervalMs <= 0) continue;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(t->due - Clock::now()).count();
      if (left < waitMs) waitMs = left < 0 ? 0 : left;
    }
    reason = WaitForStop(waitMs);
    if (!reason.empty()) break;
    try {
      // Every action of the server starts from a sound region.
      RepairRegion();
      if (host::TakeRequest(host::Request::Reload)) {
        // What the roles and write timers do, now; both start their intervals again.
        log_.Note("reload", host::RequestSource(host::Request::Reload) +
                                ": merging the role list and writing the cache file");
        service::Reloading();
        WarnSettingsProblems();
        const bool merged = LoadRoles(false);
        rearm(roles);
        const bool written = Write();
        rearm(write);
        if (merged && written) {
          event_log::Report(event_log::Event::Reloaded,
                            host::RequestSource(host::Request::Reload) +
                                (cacheFile_.empty() ? "" : "; wrote " + cacheFile_));
        }
        service::Ready(readyText);
        continue;
      }
      if (host::TakeRequest(host::Request::Sweep)) {
        log_.Note("sweep-now", host::RequestSource(host::Request::Sweep) +
                                   ": dropping expired users and refreshing the others");
        Sweep();
        rearm(sweep);
        continue;
      }
      const auto at = Clock::now();
      if (due(roles, at)) {
        LoadRoles(false, true);
        rearm(roles);
      }
      if (due(sweep, at)) {
        Sweep();
        rearm(sweep);
      }
      if (due(write, at)) {
        Write();
        rearm(write);
      }
    } catch (const Failure& failure) {
      // Reading the region's figures failed: the region is not what this server made.
      log_.Error("server", failure.what(), -1);
      RepairRegion();
    }
  }

  log_.Note("stop", reason);
  service::Stopping("stopping (" + reason + "): writing the cache file");
  RepairRegion();
  const bool written = Write();
  const bool down = ShutDown();
  if (!s_.pidFile.empty()) {
    std::error_code error;
    std::filesystem::remove(s_.pidFile, error);
  }
  if (!s_.stopFile.empty()) {
    std::error_code error;
    std::filesystem::remove(s_.stopFile, error);
  }
  event_log::Report(event_log::Event::Stopped,
                    reason + (written ? "" : "; the cache file was not written") +
                        (down ? "" : "; the region did not shut down cleanly"));
  host::StopDone();
  return written && down ? 0 : 1;
}

}  // namespace

int RunServer(const Args& args, bool json) {
  Settings settings = ReadSettings(args);
  if (!settings.logFile.empty()) {
    // The log goes to the file through a stream of its own: a service starts without
    // standard handles, and the C runtime's streams stay dead even once the descriptors
    // point at the file. Other output (a failure's message) follows the descriptors.
    static std::ofstream logStream;
    logStream.open(settings.logFile, std::ios::app);
    if (!logStream || !host::RedirectOutput(settings.logFile)) {
      throw ToolError("--log-file: cannot open " + settings.logFile + " for appending");
    }
    std::cout.rdbuf(logStream.rdbuf());
  }
  if (args.Has("--service")) {
    return service::RunAsService([&settings, json] { return Server(settings, json).Run(); });
  }
  return Server(std::move(settings), json).Run();
}

}  // namespace orvcache
