// orvcache: the cache server and a look inside the cache, as one command with
// subcommands. A client of the library's exports like any other.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "error_words.h"
#include "exports/load_hook.h"
#include "help.h"
#include "host.h"
#include "output.h"
#include "platform/status.h"
#include "server.h"
#include "service.h"

namespace orvcache {
namespace {

struct Command {
  const char* name;  // one or two words
  const char* arguments;
  const char* summary;
  std::vector<OptionSpec> options;
  std::size_t minArgs;
  std::size_t maxArgs;
  int (*run)(const Args&, bool json);
};

const std::vector<OptionSpec> kGlobalOptions = {{"--json", false},  {"--prefix", true},
                                                {"--folder", true}, {"--help", false},
                                                {"-h", false},      {"--version", false}};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"server",
       "[--directory nss|file:PATH] [--roles-interval D] [--sweep-interval D] "
       "[--write-interval D] [--fetch-timeout MS] [--pid-file PATH] [--stop-file PATH] "
       "[--log-file PATH] [--service]",
       "run the cache server until SIGINT/SIGTERM (Ctrl+C or closing the console on Windows, "
       "or a stop of its Windows service)",
       kServerOptions, 0, 0, RunServer},
      {"lookup",
       "DOMAIN USER [--admin | --current] [--timeout MS]",
       "a user's roles, fetched from the directory when the user is not cached",
       {{"--admin", false}, {"--current", false}, {"--timeout", true}},
       2,
       2,
       RunLookup},
      {"roles", "[--active]", "the role table", {{"--active", false}}, 0, 0, RunRoles},
      {"users", "", "the cached users and their roles", {}, 0, 0, RunUsers},
      {"delete", "DOMAIN USER", "drop a user from the cache", {}, 2, 2, RunDelete},
      {"commit", "DOMAIN USER", "commit a user's latest fetched roles", {}, 2, 2, RunCommit},
      {"refresh",
       "DOMAIN USER [--timeout MS]",
       "fetch a cached user's roles from the directory now and commit them",
       {{"--timeout", true}},
       2,
       2,
       RunRefresh},
      {"invalidate",
       "--all",
       "drop every cached user (the role table stays)",
       {{"--all", false}},
       0,
       0,
       RunInvalidate},
      {"touch",
       "DOMAIN USER [--at TIME]",
       "set a user's last access (now by default)",
       {{"--at", true}},
       2,
       2,
       RunTouch},
      {"config",
       "[--auto-commit N] [--config-value N]",
       "read or set autoCommitRoles and configValue",
       {{"--auto-commit", true}, {"--config-value", true}},
       0,
       0,
       RunConfig},
      {"status",
       "",
       "capacities, marks, counts and fill of the region; the running server's settings",
       {},
       0,
       0,
       RunStatus},
      {"stats",
       "[--reset] [--format openmetrics|prometheus [--output FILE]]",
       "the machine's counters: lookups, hits, fetches, writes and more; --reset zeroes "
       "them; --format prints them for a monitoring system, --output writes that to FILE "
       "whole",
       {{"--reset", false}, {"--format", true}, {"--output", true}},
       0,
       0,
       RunStats},
      {"timeout", "[MS]", "read or set the registry's fetch time limit", {}, 0, 1, RunTimeout},
      {"settings",
       "[--check]",
       "every machine-wide setting's value and where it came from; --check lists only the "
       "problems (exit 1 if any)",
       {{"--check", false}},
       0,
       0,
       RunSettings},
      {"check",
       "[--repair] [--file PATH]",
       "report every broken invariant of the live region or a cache file (exit 1 if any); "
       "--repair mends the live region's derived figures under the mutex",
       {{"--repair", false}, {"--file", true}},
       0,
       0,
       RunCheck},
      {"sweep",
       "",
       "ask the running server to run its expiry sweep now",
       {},
       0,
       0,
       RunSweepRequest},
      {"reload",
       "",
       "ask the running server to merge the role list and write the cache file now",
       {},
       0,
       0,
       RunReloadRequest},
      {"cleanup",
       "[--mutex]",
       "remove what a crashed server left (region and statistics objects, temporary files); "
       "--mutex also "
       "the mutex object",
       {{"--mutex", false}},
       0,
       0,
       RunCleanup},
      {"service", "install|uninstall [--name NAME] [--start auto|demand] [server options]",
       "install the cache server as a Windows service (run with the server options given), "
       "or stop and remove it",
       service::Options(), 1, 1, service::RunServiceCommand},
      {"file inspect",
       "PATH [--dump]",
       "check a cache file as a starting server would, and summarise or dump it",
       {{"--dump", false}},
       1,
       1,
       RunFileInspect},
  };
  return commands;
}

CommandHelp HelpOf(const Command& c) { return {c.name, c.arguments, c.summary}; }

std::vector<CommandHelp> HelpList() {
  std::vector<CommandHelp> list;
  for (const Command& c : Commands()) list.push_back(HelpOf(c));
  return list;
}

// The command named by the words at `at`: two words before one ("file inspect").
const Command* FindCommand(const std::vector<std::string>& tokens, std::size_t at,
                           std::size_t* words) {
  const Command* command = nullptr;
  for (const Command& c : Commands()) {
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

// `orvcache help [COMMAND]`.
int RunHelp(const std::vector<std::string>& words) {
  if (words.empty()) {
    PrintGlobalHelp(stdout, HelpList());
    return kExitOk;
  }
  std::size_t used = 0;
  if (const Command* command = FindCommand(words, 0, &used); command && used == words.size()) {
    PrintCommandHelp(stdout, HelpOf(*command));
    return kExitOk;
  }
  if (words.size() == 1 && PrintGroupHelp(stdout, words[0], HelpList())) return kExitOk;
  throw UsageError("no command \"" + words[0] + (words.size() > 1 ? " " + words[1] : "") +
                   "\" to explain");
}

bool IsOption(const std::string& token, const std::vector<OptionSpec>& accepted, bool* takesValue) {
  const std::string name = token.substr(0, token.find('='));
  for (const OptionSpec& option : accepted) {
    if (name == option.name) {
      *takesValue = option.takesValue && token.find('=') == std::string::npos;
      return true;
    }
  }
  return false;
}

int Main(int argc, char** argv) {
  const std::vector<std::string> tokens(argv + 1, argv + argc);
  // The command's words: the first tokens that are neither global options nor their
  // values.
  std::size_t at = 0;
  std::vector<std::string> before;
  while (at < tokens.size() && tokens[at].size() > 1 && tokens[at][0] == '-') {
    bool takesValue = false;
    if (!IsOption(tokens[at], kGlobalOptions, &takesValue)) {
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
  const Command* command = FindCommand(tokens, at, &words);
  std::vector<OptionSpec> accepted = kGlobalOptions;
  if (command) accepted.insert(accepted.end(), command->options.begin(), command->options.end());
  std::vector<std::string> rest = before;
  rest.insert(rest.end(), tokens.begin() + static_cast<std::ptrdiff_t>(at + words), tokens.end());
  const Args args = Args::Parse(rest, accepted);

  if (args.Has("--version")) {
    PrintVersion(stdout);
    return kExitOk;
  }
  if (args.Has("--help") || args.Has("-h")) {
    if (command) {
      PrintCommandHelp(stdout, HelpOf(*command));
    } else if (!(at < tokens.size() && PrintGroupHelp(stdout, tokens[at], HelpList()))) {
      PrintGlobalHelp(stdout, HelpList());
    }
    return kExitOk;
  }
  if (!command && at < tokens.size() && PrintGroupHelp(stderr, tokens[at], HelpList())) {
    return kExitUsage;  // "file" alone: its subcommands, named above
  }
  if (!command) {
    throw UsageError(at < tokens.size() ? "unknown command \"" + tokens[at] + "\""
                                        : "no command given");
  }
  const std::size_t n = args.positional().size();
  if (n < command->minArgs || n > command->maxArgs) {
    throw UsageError(std::string("usage: orvcache ") + command->name + " " + command->arguments);
  }
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
  if (!tq5::exports::OnProcessAttach()) {
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
    const tq5::platform::Failure& cause = tq5::platform::LastFailure();
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
