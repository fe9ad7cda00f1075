// What `orvcache --help`, `orvcache help [COMMAND]`, `COMMAND --help` and `--version`
// print. The command table itself stays with the dispatch in main.cpp; this file holds
// the words.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace orvcache {

// One line of the command table, as the help shows it.
struct CommandHelp {
  const char* name;  // one or two words: "lookup", "file inspect"
  const char* arguments;
  const char* summary;
};

// The whole list of commands and the options every command takes.
void PrintGlobalHelp(std::FILE* out, const std::vector<CommandHelp>& commands);

// One command's usage, summary and the meaning of each of its options.
void PrintCommandHelp(std::FILE* out, const CommandHelp& command);

// The subcommands of a command word that takes one ("file"): every command of the table
// whose first word is `word`. False when there is none.
bool PrintGroupHelp(std::FILE* out, const std::string& word,
                    const std::vector<CommandHelp>& commands);

// "orvcache 0.1.0 (tq5orvcache)".
void PrintVersion(std::FILE* out);

}  // namespace orvcache
