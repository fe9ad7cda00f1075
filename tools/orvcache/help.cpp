#include "help.h"

#include <cstring>

namespace orvcache {
namespace {

#ifndef TQ5ORVCACHE_VERSION
#error "the build defines TQ5ORVCACHE_VERSION from the project's version"
#endif

struct Details {
  const char* name;
  const char* text;  // lines of "  option  meaning", or a paragraph
};

// What each command's own help adds to its usage line and summary.
const Details kDetails[] = {
    {"server",
     "  --directory nss|file:PATH  where the role list comes from (default: the machine's\n"
     "                             `directory` setting)\n"
     "  --roles-interval D         merge a fresh role list this often (default 10m)\n"
     "  --sweep-interval D         drop users unused for three days and fetch the others'\n"
     "                             roles again this often (default 1h)\n"
     "  --write-interval D         write the cache file this often (default 5m)\n"
     "  --fetch-timeout MS         each fetch of the sweep waits this long (default: the\n"
     "                             registry's limit)\n"
     "  --pid-file PATH            written once the server is ready, removed when it stops\n"
     "  --stop-file PATH           the server stops when this file appears\n"
     "  --log-level LEVEL          error, warning, info (default) or debug\n"
     "  --no-cache-file            run without a cache file: without it the server refuses\n"
     "                             to start when there is no cache folder (neither\n"
     "                             MERLOC_GROUP_FOLDER_NAME nor, on Linux, the settings\n"
     "                             file's cache-folder), it is missing or the path would be\n"
     "                             over 255 characters\n"
     "  --start-afresh             a cache file that is there but cannot be read is kept\n"
     "                             aside and the cache starts empty (without it the start\n"
     "                             is refused)\n"
     "  --log-file PATH            append the log (and any failure) to PATH instead of\n"
     "                             printing it\n"
     "  --service                  run under the Windows service control manager (what\n"
     "                             `orvcache service install` writes into the service)\n"
     "  --event-source NAME        report start, readiness, reloads, failed writes and the\n"
     "                             stop to the Windows Application log under NAME\n"
     "Requests to a running server: `orvcache reload`, `orvcache sweep`; on Linux also\n"
     "SIGHUP (reload) and SIGUSR1 (sweep). Log lines carry a journald priority (<3> error,\n"
     "<4> warning, <6> info, <7> debug) when standard output is not a terminal.\n"},
    {"lookup",
     "  --admin      look up without recording an access (the sweep may drop the user)\n"
     "  --current    the latest fetched set instead of the committed one; never fetches\n"
     "  --timeout MS how long a fetch may take (default: the registry's limit)\n"},
    {"roles", "  --active  only the roles the latest complete role list named\n"},
    {"users",
     "Slot, user, status (current, pending, fetch-failed), last access, when the sweep\n"
     "drops the user, and its roles.\n"},
    {"delete", "Drops the user from the cache and releases its roles.\n"},
    {"commit",
     "Commits the user's latest fetched role set (needed while autoCommitRoles is not 1).\n"},
    {"refresh",
     "Fetches the user's roles from the directory now and commits them, so that the\n"
     "cached roles are the directory's. The user must be cached.\n"
     "  --timeout MS  how long the fetch may take (default: the registry's limit)\n"},
    {"invalidate", "  --all  drops every cached user; the role table stays as it is\n"},
    {"touch",
     "  --at TIME  now (default), now-3d, now+2h, seconds since 1970 or\n"
     "             YYYY-MM-DDTHH:MM:SSZ\n"},
    {"config",
     "  --auto-commit N   1: the sweep commits a changed role set itself\n"
     "  --config-value N  stored for the programs that use the cache\n"
     "-1 cannot be stored: it means \"unchanged\".\n"},
    {"status",
     "Capacities, high-water marks, counts and fill of both tables, the cache file, the\n"
     "hit ratio, and the settings the running server reports (its cache file, directory,\n"
     "fetch limit, timers, pid, start and version).\n"},
    {"stats",
     "Counters kept by every process of the cache since the server started (or the last\n"
     "reset): lookups, hits and misses, fetches by outcome, evictions of the user table,\n"
     "users expired and refreshed by sweeps, commits, deletes, cache-file writes (and the\n"
     "last good one), repairs after a process died holding the mutex; the server's last\n"
     "merge and sweep with their durations.\n"
     "  --reset  zero the counters (shown as they were up to the reset)\n"},
    {"settings",
     "Shows every machine-wide setting (docs/settings.md) with its effective value and\n"
     "where it came from: environment (this process's variable), file (Linux, the settings\n"
     "file), registry (Windows, the group's key; and the fetch time limit) or default;\n"
     "then any problems: lines of the settings file that are ignored, values a setting\n"
     "does not take, a directory that cannot be used, a cache folder that is not there.\n"
     "The server logs the same problems as warnings at its start and at each reload.\n"
     "  --check  print only the problems, one line each; exit 1 if there are any\n"},
    {"timeout",
     "Reads, or sets to MS, ORV_USER_ROLES_TIMEOUT in the group's registry key (named by\n"
     "ZOLMAR_VERSION and MERLOC_GROUP_NAME, on Linux by default the settings file's\n"
     "zolmar-version and group-name; there a folder under the registry root).\n"},
    {"check",
     "  --repair     mend the live region's derived figures under the mutex\n"
     "  --file PATH  check a cache file instead of the live region\n"
     "Exit 0 when sound, 1 when damaged.\n"},
    {"sweep",
     "Asks the running server to run its expiry sweep now. The server does it on its own\n"
     "time; its log says what the sweep dropped and refreshed.\n"},
    {"reload",
     "Asks the running server to merge a fresh role list and write the cache file now,\n"
     "found through what it publishes (no --folder needed). Returns once the server has\n"
     "taken the request (exit 1 when none takes it within 5 s); the server does it on its\n"
     "own time and logs it.\n"},
    {"cleanup",
     "Removes what a crashed server left: its region and statistics objects and its\n"
     "temporary files beside the cache file. Refuses while a server runs.\n"
     "  --mutex  also remove the mutex object (Linux). Only when no program using the\n"
     "           cache runs: one that still holds the old mutex would not exclude the new.\n"},
    {"service",
     "install: registers the service NAME (default orvcache) running as LocalSystem\n"
     "`orvcache.exe server --service` with the server options given, the object prefix and\n"
     "the cache folder (--folder or this shell's MERLOC_GROUP_FOLDER_NAME; a service does\n"
     "not see this shell's environment) and, unless --log-file says otherwise, the log in\n"
     "the cache folder as orvcache-server.log; it needs a role list's directory file\n"
     "(--directory file:PATH, or the machine's directory setting). Its events go to the\n"
     "Application log under the event source NAME, which install registers. Start and stop\n"
     "it with `sc` or `net`; a stop\n"
     "writes the cache file and shuts the region down as Ctrl+C does.\n"
     "uninstall: stops the service NAME if it runs (waiting for its cache file) and\n"
     "removes it and its event source.\n"
     "  --name NAME            the service's name (default orvcache)\n"
     "  --start auto|demand    start with Windows (default) or only when asked\n"
     "Windows only; on Linux run the server under systemd.\n"},
    {"file inspect",
     "  --dump  list the roles and users of the file\n"
     "Exit 0 when a starting server would use the file, 3 when it would not.\n"},
};

const char* DetailsOf(const char* name) {
  for (const Details& d : kDetails) {
    if (std::strcmp(d.name, name) == 0) return d.text;
  }
  return "";
}

void PrintUsageLine(std::FILE* out, const CommandHelp& c) {
  std::fprintf(out, "usage: orvcache %s%s%s\n", c.name, *c.arguments ? " " : "", c.arguments);
}

}  // namespace

void PrintGlobalHelp(std::FILE* out, const std::vector<CommandHelp>& commands) {
  std::fprintf(out,
               "usage: orvcache [--json] [--prefix TEXT] [--folder DIR] COMMAND [ARGS]\n"
               "       orvcache help [COMMAND] | --version\n\n"
               "commands:\n");
  for (const CommandHelp& c : commands) {
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
               "Exit codes: 0 done, 1 failed, 2 bad usage, 3 cache file unusable.\n"
               "`orvcache help COMMAND` or `orvcache COMMAND --help` explains one command.\n");
}

void PrintCommandHelp(std::FILE* out, const CommandHelp& command) {
  PrintUsageLine(out, command);
  std::fprintf(out, "\n%s\n", command.summary);
  const char* details = DetailsOf(command.name);
  if (*details) std::fprintf(out, "\n%s", details);
  std::fprintf(out, "\nThe options for every command (--json, --prefix, --folder) apply too.\n");
}

bool PrintGroupHelp(std::FILE* out, const std::string& word,
                    const std::vector<CommandHelp>& commands) {
  bool any = false;
  for (const CommandHelp& c : commands) {
    const std::string name = c.name;
    if (name.size() <= word.size() || name.compare(0, word.size(), word) != 0 ||
        name[word.size()] != ' ') {
      continue;
    }
    if (!any) std::fprintf(out, "orvcache %s needs a subcommand:\n", word.c_str());
    any = true;
    std::fprintf(out, "  %s%s%s\n      %s\n", c.name, *c.arguments ? " " : "", c.arguments,
                 c.summary);
  }
  return any;
}

void PrintVersion(std::FILE* out) {
  std::fprintf(out, "orvcache %s (tq5orvcache)\n", TQ5ORVCACHE_VERSION);
}

}  // namespace orvcache
