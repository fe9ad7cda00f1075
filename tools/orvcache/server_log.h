// The server's log: one line per event on standard output, at one of four levels. For a
// journal (standard output not a terminal, plain text) each line starts with its
// syslog priority, "<3>" to "<7>", which journald and systemd read as the line's level.
#pragma once

#include <cstdint>
#include <string>

#include "output.h"

namespace orvcache {

// Numbered as the syslog priorities they are written as.
enum class LogLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// "error", "warning", "info" or "debug"; UsageError otherwise.
LogLevel ParseLogLevel(const std::string& text);

class Log {
 public:
  // Events above `threshold` (less important) are left out.
  Log(bool json, LogLevel threshold, bool priorityPrefix);

  // An action with a library result: at `level` when it succeeded, as an error when not.
  void Action(const std::string& action, ResultCode rc, int64_t ms, const std::string& detail,
              Json extra = Json::object(), LogLevel level = LogLevel::Info);
  // An action that failed in the command's own work.
  void Error(const std::string& action, const std::string& message, int64_t ms);
  // An event without a result: a stop request, a warning.
  void Note(const std::string& action, const std::string& detail, Json extra = Json::object(),
            LogLevel level = LogLevel::Info);

 private:
  void Write(LogLevel level, const std::string& action, const std::string& result, ResultCode rc,
             const std::string& message, int64_t ms, const std::string& detail, Json extra);

  bool json_;
  LogLevel threshold_;
  bool priorityPrefix_;
};

}  // namespace orvcache
