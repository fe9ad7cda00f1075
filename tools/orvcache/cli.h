// The command line: a command word (or two), its arguments, and options given as
// `--name VALUE`, `--name=VALUE` or `--flag`, before or after the arguments. `--` ends
// the options, for names that begin with a dash.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvcache {

// A command line that cannot be run; exit code 2 with the usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  const char* name;  // with its dashes: "--timeout"
  bool takesValue;
};

class Args {
 public:
  bool Has(const std::string& name) const { return options_.count(name) != 0; }
  const std::string& Value(const std::string& name) const { return options_.at(name); }
  const std::vector<std::string>& positional() const { return positional_; }

  // Parses `tokens` against the options in `accepted`; UsageError on an unknown option or a
  // missing value.
  static Args Parse(const std::vector<std::string>& tokens,
                    const std::vector<OptionSpec>& accepted);

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> options_;
};

// A whole number between min and max; UsageError naming `what` otherwise.
int64_t ParseInteger(const std::string& text, int64_t min, int64_t max, const std::string& what);

// A duration: a number with the unit ms, s, m, h or d (seconds without a unit). 0 is
// allowed and means "never" where a timer takes it.
int64_t ParseDurationMs(const std::string& text, const std::string& what);

// A time as seconds since 1970, UTC: "now", "now-3d" / "now+90m" (units as for
// durations), a number of seconds, or "YYYY-MM-DDTHH:MM:SSZ". It must fit 32 bits.
int32_t ParseTime(const std::string& text, int64_t now);

}  // namespace orvcache
