// The command line's pieces: the declaration of an option, the parsed arguments and
// options of a command (command_line.h parses them), and the parsers of the values that
// options take.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orvcache {

// A command line that cannot be run; exit code 2 with the usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Checks an option's value as it is parsed; throws UsageError naming `name` when the
// value is not one the option takes.
using ValueCheck = void (*)(const std::string& value, const std::string& name);

// One option of the command line, declared once: the parser, the help and the man page
// all take it from here.
struct OptionSpec {
  const char* name;   // with its dashes: "--timeout"
  const char* value;  // what the help calls its value ("MS"); null for a flag
  const char* help;   // what it does, for the help; lines after the first are indented
  ValueCheck check = nullptr;
  bool takesValue() const { return value != nullptr; }
};

class Args {
 public:
  Args() = default;
  Args(std::vector<std::string> positional, std::map<std::string, std::string> options)
      : positional_(std::move(positional)), options_(std::move(options)) {}
  bool Has(const std::string& name) const { return options_.count(name) != 0; }
  const std::string& Value(const std::string& name) const { return options_.at(name); }
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> options_;
};

// The checks that options share: a whole number of milliseconds (0 to 2^31-1), a
// duration, a time, a 32-bit whole number.
void CheckMilliseconds(const std::string& value, const std::string& name);
void CheckDuration(const std::string& value, const std::string& name);
void CheckTime(const std::string& value, const std::string& name);
void CheckInt32(const std::string& value, const std::string& name);

// A whole number between min and max; UsageError naming `what` otherwise.
int64_t ParseInteger(const std::string& text, int64_t min, int64_t max, const std::string& what);

// A duration: a number with the unit ms, s, m, h or d (seconds without a unit). 0 is
// allowed and means "never" where a timer takes it.
int64_t ParseDurationMs(const std::string& text, const std::string& what);

// A time as seconds since 1970, UTC: "now", "now-3d" / "now+90m" (units as for
// durations), a number of seconds, or "YYYY-MM-DDTHH:MM:SSZ". It must fit 32 bits.
int32_t ParseTime(const std::string& text, int64_t now);

}  // namespace orvcache
