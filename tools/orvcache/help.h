// What `orvcache --help`, `orvcache help [COMMAND]`, `COMMAND --help` and `--version`
// print, written from the commands' declarations (command_line.h): every option that a
// command takes is in its usage line and in its help, and help2man makes the man page of
// the same text.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"

namespace orvcache {

// The whole list of commands, each with its usage line, and the options every command
// takes.
void PrintGlobalHelp(std::FILE* out, const std::vector<CommandSpec>& commands);

// One command's usage, summary, each of its options and what more it says.
void PrintCommandHelp(std::FILE* out, const CommandSpec& command);

// The subcommands of a command word that takes one ("file"): every command of the table
// whose first word is `word`. False when there is none.
bool PrintGroupHelp(std::FILE* out, const std::string& word,
                    const std::vector<CommandSpec>& commands);

// "orvcache 0.1.0 (tq5orvcache)".
void PrintVersion(std::FILE* out);

}  // namespace orvcache
