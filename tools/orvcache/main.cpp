// orvcache: the cache server and a look inside the cache, as one command with
// subcommands. A client of the library's exports like any other.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "exports/load_hook.h"
#include "host.h"
#include "output.h"
#include "server.h"

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

const std::vector<OptionSpec> kGlobalOptions = {
    {"--json", false}, {"--prefix", true}, {"--folder", true}, {"--help", false}, {"-h", false}};

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"server",
       "[--directory nss|file:PATH] [--roles-interval D] [--sweep-interval D] "
       "[--write-interval D] [--fetch-timeout MS] [--pid-file PATH] [--stop-file PATH]",
       "run the cache server until SIGINT/SIGTERM (Ctrl+C or closing the console on Windows)",
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
      {"status", "", "capacities, marks, counts and fill of the region", {}, 0, 0, RunStatus},
      {"timeout", "[MS]", "read or set the registry's fetch time limit", {}, 0, 1, RunTimeout},
      {"check",
       "[--repair] [--file PATH]",
       "report every broken invariant of the live region or a cache file (exit 1 if any); "
       "--repair mends the live region's derived figures under the mutex",
       {{"--repair", false}, {"--file", true}},
       0,
       0,
       RunCheck},
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

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: orvcache [--json] [--prefix TEXT] [--folder DIR] COMMAND [ARGS]\n\n"
               "commands:\n");
  for (const Command& c : Commands()) {
    std::fprintf(out, "  %s%s%s\n      %s\n", c.name, *c.arguments ? " " : "", c.arguments,
                 c.summary);
  }
  std::fprintf(out,
               "\noptions for every command:\n"
               "  --json          print JSON instead of tables (the server: one object a line)\n"
               "  --prefix TEXT   object-name prefix (TQ5ORVCACHE_OBJECT_PREFIX)\n"
               "  --folder DIR    folder of the cache file (MERLOC_GROUP_FOLDER_NAME)\n"
               "D is a duration such as 500ms, 30s, 10m, 2h (0: never); TIME is now, now-3d,\n"
               "seconds since 1970 or YYYY-MM-DDTHH:MM:SSZ.\n"
               "Exit codes: 0 done, 1 failed, 2 bad usage, 3 cache file unusable.\n");
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
  const Command* command = nullptr;
  std::size_t words = 0;
  for (const Command& c : Commands()) {
    const std::string name = c.name;
    const std::size_t space = name.find(' ');
    if (space == std::string::npos) {
      if (at < tokens.size() && tokens[at] == name) command = &c, words = 1;
    } else if (at + 1 < tokens.size() && tokens[at] == name.substr(0, space) &&
               tokens[at + 1] == name.substr(space + 1)) {
      command = &c, words = 2;
    }
  }
  std::vector<OptionSpec> accepted = kGlobalOptions;
  if (command) accepted.insert(accepted.end(), command->options.begin(), command->options.end());
  std::vector<std::string> rest = before;
  rest.insert(rest.end(), tokens.begin() + static_cast<std::ptrdiff_t>(at + words), tokens.end());
  const Args args = Args::Parse(rest, accepted);

  if (args.Has("--help") || args.Has("-h")) {
    PrintUsage(stdout);
    return kExitOk;
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
    return fail(kExitFailure, failure.what(),
                {{"kind", "library"},
                 {"code", failure.code()},
                 {"message", Message(failure.code())},
                 {"while", failure.doing()}});
  } catch (const std::exception& error) {
    return fail(kExitFailure, error.what(), {{"kind", "command"}, {"message", error.what()}});
  }
}
