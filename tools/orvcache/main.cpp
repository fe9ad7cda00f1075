// orvcache: the cache server and a look inside the cache, as one command with
// subcommands. A client of the library's exports like any other.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "error_words.h"
#include "help.h"
#include "host.h"
#include "output.h"
#include "server.h"
#include "service.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

void CheckStatsFormat(const std::string& value, const std::string& name) {
  if (value != "openmetrics" && value != "prometheus") {
    throw UsageError(name + " takes openmetrics or prometheus, not '" + value + "'");
  }
}

// Every command, declared once: its arguments, its options with their help and checks,
// what its help adds. The parser, `orvcache help` and the man page all read it.
const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> commands = {
      {"server", "",
       "run the cache server until SIGINT/SIGTERM (Ctrl+C or closing the console on Windows, "
       "or a stop of its Windows service)",
       kServerOptions, 0, 0, RunServer,
       "Requests to a running server: `orvcache reload`, `orvcache sweep`; on Linux also\n"
       "SIGHUP (reload) and SIGUSR1 (sweep). Log lines carry a journald priority (<3> error,\n"
       "<4> warning, <6> info, <7> debug) when standard output is not a terminal.\n"},
      {"lookup",
       "DOMAIN USER",
       "a user's roles, fetched from the directory when the user is not cached",
       {{"--admin", nullptr, "look up without recording an access (the sweep may drop the user)"},
        {"--current", nullptr,
         "the latest fetched set instead of the committed one; never fetches"},
        {"--timeout", "MS", "how long a fetch may take (default: the registry's limit)",
         CheckMilliseconds}},
       2,
       2,
       RunLookup,
       "--admin and --current exclude each other. The time spent waiting for the cache\n"
       "mutex (behind another process's fetch) is shown apart from the lookup's own, and\n"
       "fetched roles that the role table does not know, which the lookup drops, are named.\n"},
      {"roles",
       "",
       "the role table",
       {{"--active", nullptr, "only the roles the latest complete role list named"}},
       0,
       0,
       RunRoles,
       ""},
      {"users",
       "",
       "the cached users and their roles",
       {},
       0,
       0,
       RunUsers,
       "Slot, user, status (current, pending, fetch-failed), last access, when the sweep\n"
       "drops the user, and its roles.\n"},
      {"delete",
       "DOMAIN USER",
       "drop a user from the cache",
       {},
       2,
       2,
       RunDelete,
       "Drops the user from the cache and releases its roles.\n"},
      {"commit",
       "DOMAIN USER",
       "commit a user's latest fetched roles",
       {},
       2,
       2,
       RunCommit,
       "Commits the user's latest fetched role set (needed while autoCommitRoles is not 1).\n"},
      {"refresh",
       "DOMAIN USER",
       "fetch a cached user's roles from the directory now and commit them",
       {{"--timeout", "MS", "how long the fetch may take (default: the registry's limit)",
         CheckMilliseconds}},
       2,
       2,
       RunRefresh,
       "Fetches the user's roles from the directory now and commits them, so that the\n"
       "cached roles are the directory's. The user must be cached.\n"},
      {"invalidate",
       "",
       "drop every cached user (the role table stays)",
       {{"--all", nullptr, "drops every cached user; the role table stays as it is"}},
       0,
       0,
       RunInvalidate,
       "One user goes with `orvcache delete DOMAIN USER`.\n"},
      {"touch",
       "DOMAIN USER",
       "set a user's last access (now by default)",
       {{"--at", "TIME",
         "now (default), now-3d, now+2h, seconds since 1970 or\nYYYY-MM-DDTHH:MM:SSZ", CheckTime}},
       2,
       2,
       RunTouch,
       ""},
      {"config",
       "",
       "read or set autoCommitRoles and configValue",
       {{"--auto-commit", "N", "1: the sweep commits a changed role set itself", CheckInt32},
        {"--config-value", "N", "stored for the programs that use the cache", CheckInt32}},
       0,
       0,
       RunConfig,
       "-1 cannot be stored: it means \"unchanged\".\n"},
      {"status",
       "",
       "capacities, marks, counts and fill of the region; the running server's settings",
       {},
       0,
       0,
       RunStatus,
       "Capacities, high-water marks, counts and fill of both tables, the cache file, the\n"
       "hit ratio, and the settings the running server reports (its cache file, directory,\n"
       "fetch limit, timers, pid, start and version). Whether that server still lives is\n"
       "asked of the system. Exit codes as service status commands give them: 0 a server\n"
       "runs; 1 the region is orphaned (its server died: clients are still answered, but\n"
       "nothing sweeps it, merges the role list or writes the cache file); 3 no cache server\n"
       "is running; 4 the state cannot be told. --json carries them as state and exitCode.\n"},
      {"stats",
       "",
       "the machine's counters: lookups, hits, fetches, writes and more; --reset zeroes "
       "them; --format prints them for a monitoring system, --output writes that to FILE "
       "whole",
       {{"--reset", nullptr, "zero the counters (shown as they were up to the reset)"},
        {"--format", "openmetrics|prometheus",
         "print the counters in that text format, for a monitoring\nsystem", CheckStatsFormat},
        {"--output", "FILE",
         "with --format: write that text to FILE whole (for the node\nexporter's textfile "
         "collector)"}},
       0,
       0,
       RunStats,
       "Counters kept by every process of the cache since the server started (or the last\n"
       "reset): lookups, hits and misses, fetches by outcome, evictions of the user table,\n"
       "users expired and refreshed by sweeps, commits, deletes, cache-file writes (and the\n"
       "last good one), repairs after a process died holding the mutex; the server's last\n"
       "merge and sweep with their durations.\n"},
      {"timeout",
       "[MS]",
       "read or set the registry's fetch time limit",
       {},
       0,
       1,
       RunTimeout,
       "Reads, or sets to MS, ORV_USER_ROLES_TIMEOUT in the group's registry key (named by\n"
       "ZOLMAR_VERSION and MERLOC_GROUP_NAME, on Linux by default the settings file's\n"
       "zolmar-version and group-name; there a folder under the registry root).\n"},
      {"settings",
       "",
       "every machine-wide setting's value and where it came from; --check lists only the "
       "problems (exit 1 if any)",
       {{"--check", nullptr, "print only the problems, one line each; exit 1 if there are any"}},
       0,
       0,
       RunSettings,
       "Shows every machine-wide setting (docs/settings.md) with its effective value and\n"
       "where it came from: environment (this process's variable), file (Linux, the settings\n"
       "file), registry (Windows, the group's key; and the fetch time limit) or default;\n"
       "then any problems: lines of the settings file that are ignored, values a setting\n"
       "does not take, a directory that cannot be used, a cache folder that is not there.\n"
       "The server logs the same problems as warnings at its start and at each reload.\n"},
      {"check",
       "",
       "report every broken invariant of the live region or a cache file (exit 1 if any); "
       "--repair mends the live region's derived figures under the mutex",
       {{"--repair", nullptr, "mend the live region's derived figures under the mutex"},
        {"--file", "PATH", "check a cache file instead of the live region"}},
       0,
       0,
       RunCheck,
       "Exit 0 when sound, 1 when damaged.\n"},
      {"sweep",
       "",
       "ask the running server to run its expiry sweep now",
       {},
       0,
       0,
       RunSweepRequest,
       "Asks the running server to run its expiry sweep now. The server does it on its own\n"
       "time; its log says what the sweep dropped and refreshed.\n"},
      {"reload",
       "",
       "ask the running server to merge the role list and write the cache file now",
       {},
       0,
       0,
       RunReloadRequest,
       "Asks the running server to merge a fresh role list and write the cache file now,\n"
       "found through what it publishes (no --folder needed). Returns once the server has\n"
       "taken the request (exit 1 when none takes it within 5 s); the server does it on its\n"
       "own time and logs it.\n"},
      {"cleanup",
       "",
       "remove what a crashed server left (region and statistics objects, temporary files); "
       "--mutex also the mutex object",
       {{"--mutex", nullptr,
         "also remove the mutex object (Linux). Only when no program using the\ncache runs: "
         "one that still holds the old mutex would not exclude the new."}},
       0,
       0,
       RunCleanup,
       "Removes what a crashed server left: its region and statistics objects and its\n"
       "temporary files beside the cache file. Refuses while a server runs.\n"},
      {"service", "install|uninstall",
       "install the cache server as a Windows service (run with the server options given), "
       "or stop and remove it",
       service::Options(), 1, 1, service::RunServiceCommand,
       "install: registers the service NAME (default orvcache) running as LocalSystem\n"
       "`orvcache.exe server --service` with the server options given, the object prefix and\n"
       "the cache folder (--folder or this shell's MERLOC_GROUP_FOLDER_NAME; a service does\n"
       "not see this shell's environment) and, unless --log-file says otherwise, the log in\n"
       "the cache folder as orvcache-server.log; it needs a role list's directory file\n"
       "(--directory file:PATH, or the machine's directory setting). Its events go to the\n"
       "Application log under the event source NAME, which install registers. Start and stop\n"
       "it with `sc` or `net`; a stop writes the cache file and shuts the region down as\n"
       "Ctrl+C does.\n"
       "uninstall: stops the service NAME if it runs (waiting for its cache file) and\n"
       "removes it and its event source.\n"
       "Windows only; on Linux run the server under systemd.\n"},
      {"file inspect",
       "PATH",
       "check a cache file as a starting server would, and summarise or dump it",
       {{"--dump", nullptr, "list the roles and users of the file"}},
       1,
       1,
       RunFileInspect,
       "Exit 0 when a starting server would use the file, 3 when it would not.\n"},
  };
  return commands;
}

// The command named by the words at `at`: two words before one ("file inspect").
const CommandSpec* FindCommand(const std::vector<std::string>& tokens, std::size_t at,
                               std::size_t* words) {
  const CommandSpec* command = nullptr;
  for (const CommandSpec& c : Commands()) {
    const std::string name = c.name;
    const std::size_t space = name.find(' ');
    if (space == std::string::npos) {
      if (at < tokens.size() && tokens[at] == name) command = &c, *words = 1;
    } else if (at + 1 < tokens.size() && tokens[at] == name.substr(0, space) &&
               tokens[at + 1] == name.substr(space + 1)) {
      command = &c, *words = 2;
    }
  }
  return command;
}

bool IsCommandWord(const std::string& word) {
  for (const CommandSpec& c : Commands()) {
    const std::string name = c.name;
    if (name.substr(0, name.find(' ')) == word) return true;
  }
  return false;
}

// "unknown command "user"; did you mean `orvcache users`?"
UsageError UnknownCommand(const std::string& word) {
  const std::string nearest = NearestCommand(word, Commands());
  return UsageError("unknown command \"" + word + "\"" +
                    (nearest.empty() ? "" : "; did you mean `orvcache " + nearest + "`?"));
}

// `orvcache help [COMMAND]`.
int RunHelp(const std::vector<std::string>& words) {
  if (words.empty()) {
    PrintGlobalHelp(stdout, Commands());
    return kExitOk;
  }
  std::size_t used = 0;
  if (const CommandSpec* command = FindCommand(words, 0, &used); command && used == words.size()) {
    PrintCommandHelp(stdout, *command);
    return kExitOk;
  }
  if (words.size() == 1 && PrintGroupHelp(stdout, words[0], Commands())) return kExitOk;
  if (words.size() == 1 && !IsCommandWord(words[0])) {
    const std::string nearest = NearestCommand(words[0], Commands());
    throw UsageError("no command \"" + words[0] + "\" to explain" +
                     (nearest.empty() ? "" : "; did you mean `orvcache help " + nearest + "`?"));
  }
  throw UsageError("no command \"" + words[0] + (words.size() > 1 ? " " + words[1] : "") +
                   "\" to explain");
}

bool IsGlobalOption(const std::string& token, bool* takesValue) {
  const std::string name = token.substr(0, token.find('='));
  for (const OptionSpec& option : GlobalOptions()) {
    if (name == option.name) {
      *takesValue = option.takesValue() && token.find('=') == std::string::npos;
      return true;
    }
  }
  return false;
}

// What the words of a command that takes none say instead, where a likely mistake has a
// better answer than the usage line.
void CheckArguments(const CommandSpec& command, const Args& args) {
  const std::size_t n = args.positional().size();
  if (n >= command.minArgs && n <= command.maxArgs) return;
  if (std::string(command.name) == "invalidate" && n > 0) {
    throw UsageError(
        "invalidate drops every cached user (--all); to drop one, `orvcache delete DOMAIN "
        "USER`");
  }
  throw UsageError(UsageLine(command));
}

int Main(int argc, char** argv) {
  const std::vector<std::string> tokens(argv + 1, argv + argc);
  // The command's words: the first tokens that are neither global options nor their
  // values.
  std::size_t at = 0;
  std::vector<std::string> before;
  while (at < tokens.size() && tokens[at].size() > 1 && tokens[at][0] == '-') {
    bool takesValue = false;
    if (!IsGlobalOption(tokens[at], &takesValue)) {
      throw UsageError("unknown option " + tokens[at] + " before the command");
    }
    before.push_back(tokens[at++]);
    if (takesValue && at < tokens.size()) before.push_back(tokens[at++]);
  }
  if (at < tokens.size() && tokens[at] == "help") {
    return RunHelp(std::vector<std::string>(tokens.begin() + static_cast<std::ptrdiff_t>(at + 1),
                                            tokens.end()));
  }
  std::size_t words = 0;
  const CommandSpec* command = FindCommand(tokens, at, &words);
  // Without a command only the options of every command are read: --version, --help.
  static const CommandSpec kNone = {"", "", "", {}, 0, 0, nullptr, ""};
  std::vector<std::string> rest = before;
  rest.insert(rest.end(), tokens.begin() + static_cast<std::ptrdiff_t>(at + words), tokens.end());
  const bool groupWord = !command && at < tokens.size() && IsCommandWord(tokens[at]);
  const Args args = ParseCommandLine(command ? *command : kNone,
                                     command || groupWord || at >= tokens.size() ? rest : before);

  if (args.Has("--version")) {
    PrintVersion(stdout);
    return kExitOk;
  }
  if (args.Has("--help") || args.Has("-h")) {
    if (command) {
      PrintCommandHelp(stdout, *command);
    } else if (!(groupWord && PrintGroupHelp(stdout, tokens[at], Commands()))) {
      PrintGlobalHelp(stdout, Commands());
    }
    return kExitOk;
  }
  if (groupWord && PrintGroupHelp(stderr, tokens[at], Commands())) {
    return kExitUsage;  // "file" alone: its subcommands, named above
  }
  if (!command) {
    if (at < tokens.size()) throw UnknownCommand(tokens[at]);
    throw UsageError("no command given");
  }
  CheckArguments(*command, args);
  if (args.Has("--prefix"))
    host::SetEnvironment("TQ5ORVCACHE_OBJECT_PREFIX", args.Value("--prefix"));
  if (args.Has("--folder"))
    host::SetEnvironment("MERLOC_GROUP_FOLDER_NAME", args.Value("--folder"));
  return command->run(args, args.Has("--json"));
}

bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace
}  // namespace orvcache

int main(int argc, char** argv) {
  using namespace orvcache;
  // Built from the library's core: what the library's load hook does in every process
  // that loads it, the command does for itself (a program has no load hook).
  if (!tq5::admin::AttachProcess()) {
    std::fprintf(stderr, "orvcache: cannot create the process lock\n");
    return kExitFailure;
  }
  const bool json = WantsJson(argc, argv);
  // The message on standard error; with --json also as an object on standard output.
  auto fail = [json](int exitCode, const std::string& message, Json error) {
    std::fprintf(stderr, "orvcache: %s\n", message.c_str());
    if (json) PrintJson({{"error", error}});
    return exitCode;
  };
  try {
    return Main(argc, argv);
  } catch (const UsageError& error) {
    const int rc = fail(kExitUsage, error.what(), {{"kind", "usage"}, {"message", error.what()}});
    std::fprintf(stderr, "run `orvcache --help` for the commands\n");
    return rc;
  } catch (const Failure& failure) {
    // The library's message as it words it, then what it means here.
    const std::string words = Explain(failure.code(), failure.user());
    Json error = {{"kind", "library"},
                  {"code", failure.code()},
                  {"message", Message(failure.code())},
                  {"while", failure.doing()}};
    if (!words.empty()) error["explanation"] = words;
    const tq5::admin::SystemFailure cause = tq5::admin::LatestFailure();
    if (!SystemReason(failure.code()).empty()) {
      error["system"] = {
          {"call", cause.call}, {"error", cause.systemError}, {"text", cause.reason}};
    }
    return fail(failure.exitCode(),
                failure.what() + (words.empty() ? std::string() : "\norvcache: " + words), error);
  } catch (const std::exception& error) {
    return fail(kExitFailure, error.what(), {{"kind", "command"}, {"message", error.what()}});
  }
}
