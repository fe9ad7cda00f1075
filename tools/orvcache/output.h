// What the command prints: tables for people, JSON for programs, and the library's own
// messages for its failures.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "tq5orvcache.h"

namespace orvcache {

using Json = nlohmann::ordered_json;

// The library's fixed message for a code.
std::string Message(ResultCode code);

// A failed export: the command prints what it was doing and the library's message.
// `user` names the user the call was about ("DOMAIN\\user"), when it was about one, so
// that the explanation can name it.
class Failure : public std::runtime_error {
 public:
  Failure(ResultCode code, const std::string& doing, std::string user = "");
  ResultCode code() const { return code_; }
  const std::string& doing() const { return doing_; }
  const std::string& user() const { return user_; }
  // The process's exit code for it: 1 unless the command words its failures otherwise
  // (`status` follows the convention of service status commands).
  int exitCode() const { return exitCode_; }
  Failure& WithExitCode(int exitCode) {
    exitCode_ = exitCode;
    return *this;
  }

 private:
  ResultCode code_;
  int exitCode_ = 1;
  std::string doing_;
  std::string user_;
};

// A failure of the command's own work (a role list that cannot be read, a bad file).
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws Failure unless rc is CACHE_OK.
void Check(ResultCode rc, const std::string& doing, const std::string& user = "");

// A text field of the region: the bytes up to the NUL, at most the field's 64.
std::string FieldText(const char (&field)[TQ5ORVCACHE_TEXT_SIZE]);

// Columns aligned with two spaces between them; numeric columns to the right.
class Table {
 public:
  explicit Table(std::vector<std::string> headers, std::vector<bool> rightAligned = {});
  void Add(std::vector<std::string> row);
  void Print(std::FILE* out = stdout) const;
  bool empty() const { return rows_.empty(); }

 private:
  std::vector<std::string> headers_;
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

// "2026-03-01T12:00:00Z".
std::string FormatTime(int64_t secondsSince1970);
// The same with milliseconds, for log lines.
std::string FormatTimeMs(int64_t msSince1970);
// "850 ms", "1.2 s", "4 min 10 s", "3 h 5 min", "2 d 4 h".
std::string FormatDuration(int64_t ms);
// "45.0%" of part in whole (whole 0: "-").
std::string Percent(int64_t part, int64_t whole);
// Seconds and milliseconds since 1970 now.
int64_t NowSeconds();
int64_t NowMs();

void PrintJson(const Json& value);

// "1 user", "3 users".
std::string Count(int64_t n, const std::string& noun);

// "DOMAIN\user".
std::string UserLabel(const std::string& domainName, const std::string& userName);

}  // namespace orvcache
