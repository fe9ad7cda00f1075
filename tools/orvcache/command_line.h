// The command line: a command word (or two), its arguments, and options given as
// `--name VALUE`, `--name=VALUE` or `--flag`, before or after the arguments; `--` ends the
// options, for names that begin with a dash. Each command is declared once (CommandSpec):
// CLI11 parses its options against that declaration, checking each value as it comes,
// and the help and the man page are written from the same declaration.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

namespace orvcache {

struct CommandSpec {
  const char* name;       // one or two words: "lookup", "file inspect"
  const char* arguments;  // its arguments as the usage names them: "DOMAIN USER"
  const char* summary;
  std::vector<OptionSpec> options;
  std::size_t minArgs;
  std::size_t maxArgs;
  int (*run)(const Args&, bool json);
  const char* details;  // what the command's own help adds after its options, or ""
};

// The options every command takes.
const std::vector<OptionSpec>& GlobalOptions();

// Parses `tokens` (the command line without the command's words) as `command` takes them;
// UsageError on an unknown option, a missing value or a value the option does not take.
Args ParseCommandLine(const CommandSpec& command, const std::vector<std::string>& tokens);

// "usage: orvcache lookup DOMAIN USER [--admin] [--current] [--timeout MS]": the
// arguments, then every option of the command's declaration.
std::string UsageLine(const CommandSpec& command);

// The command's options, one "  --name VALUE  what it does" each, aligned.
void PrintOptions(std::FILE* out, const std::vector<OptionSpec>& options);

// The known command nearest to `word` (a letter or two away, or one that begins with
// it), or an empty text when none is near.
std::string NearestCommand(const std::string& word, const std::vector<CommandSpec>& commands);

}  // namespace orvcache
