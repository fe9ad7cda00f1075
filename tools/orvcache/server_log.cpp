#include "server_log.h"

#include <iostream>

#include "cli.h"

namespace orvcache {
namespace {

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Error:
      return "error";
    case LogLevel::Warning:
      return "warning";
    case LogLevel::Info:
      return "info";
    case LogLevel::Debug:
      return "debug";
  }
  return "info";
}

}  // namespace

LogLevel ParseLogLevel(const std::string& text) {
  for (LogLevel level : {LogLevel::Error, LogLevel::Warning, LogLevel::Info, LogLevel::Debug}) {
    if (text == LevelName(level)) return level;
  }
  throw UsageError("--log-level must be error, warning, info or debug, not \"" + text + "\"");
}

Log::Log(bool json, LogLevel threshold, bool priorityPrefix)
    : json_(json), threshold_(threshold), priorityPrefix_(priorityPrefix && !json) {}

void Log::Action(const std::string& action, ResultCode rc, int64_t ms, const std::string& detail,
                 Json extra, LogLevel level) {
  Write(rc == CACHE_OK ? level : LogLevel::Error, action, rc == CACHE_OK ? "ok" : "failed", rc,
        rc == CACHE_OK ? "" : Message(rc), ms, detail, std::move(extra));
}

void Log::Error(const std::string& action, const std::string& message, int64_t ms) {
  Write(LogLevel::Error, action, "failed", 0, message, ms, "", Json::object());
}

void Log::Note(const std::string& action, const std::string& detail, Json extra, LogLevel level) {
  Write(level, action, "", 0, "", -1, detail, std::move(extra));
}

void Log::Write(LogLevel level, const std::string& action, const std::string& result, ResultCode rc,
                const std::string& message, int64_t ms, const std::string& detail, Json extra) {
  if (static_cast<int>(level) > static_cast<int>(threshold_)) return;
  const int64_t now = NowMs();
  if (json_) {
    Json line = {{"time", FormatTimeMs(now)}, {"level", LevelName(level)}, {"action", action}};
    if (!result.empty()) line["result"] = result;
    if (rc != CACHE_OK) line["code"] = rc;
    if (!message.empty()) line["message"] = message;
    if (ms >= 0) line["durationMs"] = ms;
    if (!detail.empty()) line["detail"] = detail;
    for (auto& [key, value] : extra.items()) line[key] = value;
    std::cout << line.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
    return;
  }
  std::string text;
  if (priorityPrefix_) text = "<" + std::to_string(static_cast<int>(level)) + ">";
  text += FormatTimeMs(now) + " " + action + ":";
  if (!result.empty()) text += " " + result;
  if (!message.empty()) {
    text += ": " + message + (rc != CACHE_OK ? " (" + std::to_string(rc) + ")" : "");
  }
  if (ms >= 0) text += " in " + FormatDuration(ms);
  if (!detail.empty()) text += (result.empty() ? " " : "; ") + detail;
  std::cout << text << std::endl;
}

}  // namespace orvcache
