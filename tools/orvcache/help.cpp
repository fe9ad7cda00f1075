#include "help.h"

namespace orvcache {
namespace {

#ifndef TQ5ORVCACHE_VERSION
#error "the build defines TQ5ORVCACHE_VERSION from the project's version"
#endif

constexpr const char* kUsagePrefix = "usage: orvcache ";

// "lookup DOMAIN USER [--admin] ...", with the summary below it.
void PrintListed(std::FILE* out, const CommandSpec& c) {
  const std::string usage = UsageLine(c);
  std::fprintf(out, "  %s\n      %s\n", usage.c_str() + std::string(kUsagePrefix).size(),
               c.summary);
}

}  // namespace

void PrintGlobalHelp(std::FILE* out, const std::vector<CommandSpec>& commands) {
  std::fprintf(out,
               "usage: orvcache [--json] [--prefix TEXT] [--folder DIR] COMMAND [ARGS]\n"
               "       orvcache help [COMMAND] | --version\n\n"
               "commands:\n");
  for (const CommandSpec& c : commands) PrintListed(out, c);
  std::fprintf(out, "\noptions for every command:\n");
  std::vector<OptionSpec> global;
  for (const OptionSpec& option : GlobalOptions()) {
    if (std::string(option.name) == "--json" || std::string(option.name) == "--prefix" ||
        std::string(option.name) == "--folder") {
      global.push_back(option);
    }
  }
  PrintOptions(out, global);
  std::fprintf(out,
               "D is a duration such as 500ms, 30s, 10m, 2h (0: never); TIME is now, now-3d,\n"
               "seconds since 1970 or YYYY-MM-DDTHH:MM:SSZ.\n"
               "Exit codes: 0 done, 1 failed, 2 bad usage, 3 cache file unusable; status: 0\n"
               "running, 1 orphaned region, 3 not running, 4 unknown.\n"
               "`orvcache help COMMAND` or `orvcache COMMAND --help` explains one command.\n");
}

// The usage line broken before an option where it would pass 88 columns, the rest of
// it under the command's arguments.
std::string Wrapped(const std::string& usage, std::size_t indent) {
  constexpr std::size_t kWidth = 88;
  std::string text;
  std::size_t lineStart = 0;
  std::size_t at = 0;
  while (at < usage.size()) {
    std::size_t next = usage.find(" [", at + 1);
    if (next == std::string::npos) next = usage.size();
    if (text.size() - lineStart + (next - at) > kWidth && text.size() > lineStart + indent) {
      text += "\n" + std::string(indent, ' ');
      lineStart = text.size() - indent;
      text += usage.substr(at + 1, next - at - 1);
    } else {
      text += usage.substr(at, next - at);
    }
    at = next;
  }
  return text;
}

void PrintCommandHelp(std::FILE* out, const CommandSpec& command) {
  const std::size_t indent =
      std::string(kUsagePrefix).size() + std::string(command.name).size() + 1;
  std::fprintf(out, "%s\n\n%s\n", Wrapped(UsageLine(command), indent).c_str(), command.summary);
  if (!command.options.empty()) {
    std::fprintf(out, "\n");
    PrintOptions(out, command.options);
  }
  if (*command.details) std::fprintf(out, "\n%s", command.details);
  std::fprintf(out, "\nThe options for every command (--json, --prefix, --folder) apply too.\n");
}

bool PrintGroupHelp(std::FILE* out, const std::string& word,
                    const std::vector<CommandSpec>& commands) {
  bool any = false;
  for (const CommandSpec& c : commands) {
    const std::string name = c.name;
    if (name.size() <= word.size() || name.compare(0, word.size(), word) != 0 ||
        name[word.size()] != ' ') {
      continue;
    }
    if (!any) std::fprintf(out, "orvcache %s needs a subcommand:\n", word.c_str());
    any = true;
    PrintListed(out, c);
  }
  return any;
}

void PrintVersion(std::FILE* out) {
  std::fprintf(out, "orvcache %s (tq5orvcache)\n", TQ5ORVCACHE_VERSION);
}

}  // namespace orvcache
