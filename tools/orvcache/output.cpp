#include "output.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>

#include "display_width.h"

namespace orvcache {

std::string Message(ResultCode code) {
  char buffer[256];
  uint32_t length = sizeof buffer;
  GetTQ5ORVCacheErrorMessage(code, buffer, &length);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

Failure::Failure(ResultCode code, const std::string& doing, std::string user)
    : std::runtime_error(doing + ": " + Message(code) + " (" + std::to_string(code) + ")"),
      code_(code),
      doing_(doing),
      user_(std::move(user)) {}

void Check(ResultCode rc, const std::string& doing, const std::string& user) {
  if (rc != CACHE_OK) throw Failure(rc, doing, user);
}

std::string FieldText(const char (&field)[TQ5ORVCACHE_TEXT_SIZE]) {
  const void* end = std::memchr(field, '\0', sizeof field);
  const std::size_t length =
      end ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : sizeof field;
  return std::string(field, length);
}

Table::Table(std::vector<std::string> headers, std::vector<bool> rightAligned)
    : headers_(std::move(headers)), right_(std::move(rightAligned)) {
  right_.resize(headers_.size(), false);
}

void Table::Add(std::vector<std::string> row) {
  row.resize(headers_.size());
  rows_.push_back(std::move(row));
}

void Table::Print(std::FILE* out) const {
  // Columns are measured in what a terminal shows, not in bytes, so that names with
  // characters of several bytes line up.
  std::vector<std::size_t> widths(headers_.size());
  for (std::size_t c = 0; c < headers_.size(); ++c) {
    widths[c] = DisplayWidth(headers_[c]);
    for (const auto& row : rows_) widths[c] = std::max(widths[c], DisplayWidth(row[c]));
  }
  auto printRow = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string pad(widths[c] - DisplayWidth(row[c]), ' ');
      const bool last = c + 1 == row.size();
      line += right_[c] ? pad + row[c] : (last ? row[c] : row[c] + pad);
      if (!last) line += "  ";
    }
    std::fprintf(out, "%s\n", line.c_str());
  };
  printRow(headers_);
  for (const auto& row : rows_) printRow(row);
}

namespace {

std::tm UtcTime(int64_t seconds) {
  const auto value = static_cast<std::time_t>(seconds);
  std::tm parts{};
  // Only the main thread formats times; gmtime's static result is safe there.
  if (const std::tm* utc = std::gmtime(&value)) parts = *utc;
  return parts;
}

}  // namespace

std::string FormatTime(int64_t secondsSince1970) {
  const std::tm t = UtcTime(secondsSince1970);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

std::string FormatTimeMs(int64_t msSince1970) {
  const int64_t seconds = msSince1970 >= 0 ? msSince1970 / 1000 : (msSince1970 - 999) / 1000;
  const std::tm t = UtcTime(seconds);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
  char full[48];
  std::snprintf(full, sizeof full, "%s.%03dZ", text,
                static_cast<int>(msSince1970 - seconds * 1000));
  return full;
}

std::string FormatDuration(int64_t ms) {
  char text[48];
  if (ms < 0) ms = 0;
  if (ms < 1000) {
    std::snprintf(text, sizeof text, "%lld ms", static_cast<long long>(ms));
  } else if (ms < 60 * 1000) {
    if (ms % 1000 == 0) {
      std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms / 1000));
    } else {
      std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    }
  } else {
    // Two units at most, the second left out when it is zero.
    const long long s = ms / 1000;
    long long major = s / 60, minor = s % 60;
    const char* majorUnit = "min";
    const char* minorUnit = "s";
    if (s >= 86400) {
      major = s / 86400, minor = s % 86400 / 3600, majorUnit = "d", minorUnit = "h";
    } else if (s >= 3600) {
      major = s / 3600, minor = s % 3600 / 60, majorUnit = "h", minorUnit = "min";
    }
    if (minor == 0) {
      std::snprintf(text, sizeof text, "%lld %s", major, majorUnit);
    } else {
      std::snprintf(text, sizeof text, "%lld %s %lld %s", major, majorUnit, minor, minorUnit);
    }
  }
  return text;
}

std::string Percent(int64_t part, int64_t whole) {
  if (whole <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

int64_t NowSeconds() { return NowMs() / 1000; }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void PrintJson(const Json& value) {
  // Texts of the region are 8-bit characters of no fixed encoding; bytes that are not
  // UTF-8 are replaced rather than refused.
  std::cout << value.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
}

std::string Count(int64_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string UserLabel(const std::string& domainName, const std::string& userName) {
  return domainName + "\\" + userName;
}

}  // namespace orvcache
