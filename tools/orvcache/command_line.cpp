#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <map>

#include "tq5orvcache_admin.h"

namespace orvcache {

const std::vector<OptionSpec>& GlobalOptions() {
  static const std::vector<OptionSpec> options = {
      {"--json", nullptr, "print JSON instead of tables (the server: one object a line)"},
      {"--prefix", "TEXT", "object-name prefix (TQ5ORVCACHE_OBJECT_PREFIX)"},
      {"--folder", "DIR", "folder of the cache file (MERLOC_GROUP_FOLDER_NAME)"},
      {"--help", nullptr, "explain the command"},
      {"-h", nullptr, "the same as --help"},
      {"--version", nullptr, "print the version"},
  };
  return options;
}

namespace {

const OptionSpec* Find(const std::vector<const OptionSpec*>& accepted, const std::string& name) {
  for (const OptionSpec* declared : accepted) {
    if (name == declared->name) return declared;
  }
  return nullptr;
}

// The mistakes whose words scripts and people know already, found before CLI11 parses:
// an option the command does not take, a flag given a value, a value missing at the end.
void CheckTokens(const std::vector<std::string>& tokens,
                 const std::vector<const OptionSpec*>& accepted) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (token == "--") return;
    if (token.size() < 2 || token[0] != '-') continue;
    const std::size_t equals = token.find('=');
    const std::string name = token.substr(0, equals);
    const OptionSpec* declared = Find(accepted, name);
    if (!declared) throw UsageError("unknown option " + name);
    if (!declared->takesValue()) {
      if (equals != std::string::npos) throw UsageError(name + " takes no value");
    } else if (equals == std::string::npos) {
      if (i + 1 >= tokens.size()) throw UsageError(name + " needs a value");
      ++i;
    }
  }
}

}  // namespace

Args ParseCommandLine(const CommandSpec& command, const std::vector<std::string>& tokens) {
  std::vector<const OptionSpec*> accepted;
  for (const OptionSpec& declared : GlobalOptions()) accepted.push_back(&declared);
  for (const OptionSpec& declared : command.options) accepted.push_back(&declared);
  CheckTokens(tokens, accepted);

  CLI::App app{command.summary, std::string("orvcache ") + command.name};
  app.set_help_flag();
  std::map<std::string, std::string> values;
  std::vector<std::string> positional;
  for (const OptionSpec* declared : accepted) {
    const std::string name = declared->name;
    if (!declared->takesValue()) {
      app.add_flag_callback(
          name, [&values, name] { values[name] = ""; }, declared->help);
      continue;
    }
    CLI::Option* option = app.add_option_function<std::string>(
        name, [&values, name](const std::string& value) { values[name] = value; }, declared->help);
    option->type_name(declared->value)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    if (const ValueCheck check = declared->check) {
      // The check throws UsageError with the words of its own, which CLI11 lets through.
      option->check(CLI::Validator(
          [check, name](std::string& value) {
            check(value, name);
            return std::string();
          },
          declared->value));
    }
  }
  app.add_option("ARGUMENTS", positional)->expected(0, INT_MAX);
  // CLI11 takes the tokens last first.
  std::vector<std::string> reversed(tokens.rbegin(), tokens.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    throw UsageError(error.what());
  }
  return Args(std::move(positional), std::move(values));
}

std::string UsageLine(const CommandSpec& command) {
  std::string line = std::string("usage: orvcache ") + command.name;
  if (*command.arguments) line += std::string(" ") + command.arguments;
  for (const OptionSpec& option : command.options) {
    line += std::string(" [") + option.name + (option.takesValue() ? " " : "") +
            (option.takesValue() ? option.value : "") + "]";
  }
  return line;
}

void PrintOptions(std::FILE* out, const std::vector<OptionSpec>& options) {
  std::size_t width = 0;
  auto label = [](const OptionSpec& o) {
    return std::string(o.name) + (o.takesValue() ? std::string(" ") + o.value : "");
  };
  for (const OptionSpec& option : options) width = std::max(width, label(option).size());
  for (const OptionSpec& option : options) {
    const std::string name = label(option);
    std::string help = option.help;
    // Lines after the first line up under the first.
    for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
      help.insert(at + 1, std::string(width + 4, ' '));
    }
    std::fprintf(out, "  %-*s  %s\n", static_cast<int>(width), name.c_str(), help.c_str());
  }
}

std::string NearestCommand(const std::string& word, const std::vector<CommandSpec>& commands) {
  std::string nearest;
  std::size_t best = 3;  // further than two letters is no likely slip
  for (const CommandSpec& command : commands) {
    const std::string name = command.name;
    const std::string first = name.substr(0, name.find(' '));
    std::size_t distance = tq5::admin::EditDistance(word, first);
    if (word.size() >= 3 && first.compare(0, word.size(), word) == 0) distance = 1;
    if (distance < best) {
      best = distance;
      nearest = first;
    }
  }
  return nearest;
}

}  // namespace orvcache
