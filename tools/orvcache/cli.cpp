#include "cli.h"

#include <cctype>

namespace orvcache {

namespace {

// Digits only, no sign; false on overflow past `max`.
bool ParseDigits(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

// Milliseconds of one unit; 0 for an unknown unit.
int64_t UnitMs(const std::string& unit) {
  if (unit == "ms") return 1;
  if (unit.empty() || unit == "s") return 1000;
  if (unit == "m" || unit == "min") return 60 * 1000;
  if (unit == "h") return 3600 * 1000;
  if (unit == "d") return 86400 * 1000;
  return 0;
}

constexpr int64_t kMaxDurationMs = int64_t{100} * 365 * 86400 * 1000;

bool SplitDuration(const std::string& text, int64_t* ms) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  const int64_t unit = UnitMs(text.substr(digits));
  uint64_t number = 0;
  if (unit == 0 ||
      !ParseDigits(text.substr(0, digits), static_cast<uint64_t>(kMaxDurationMs / unit), &number)) {
    return false;
  }
  *ms = static_cast<int64_t>(number) * unit;
  return true;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool ParseIsoTime(const std::string& text, int64_t* seconds) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':' ||
      (text[19] != 'Z' && text[19] != 'z')) {
    return false;
  }
  uint64_t y, mo, d, h, mi, s;
  if (!ParseDigits(text.substr(0, 4), 9999, &y) || !ParseDigits(text.substr(5, 2), 12, &mo) ||
      !ParseDigits(text.substr(8, 2), 31, &d) || !ParseDigits(text.substr(11, 2), 23, &h) ||
      !ParseDigits(text.substr(14, 2), 59, &mi) || !ParseDigits(text.substr(17, 2), 60, &s) ||
      mo == 0 || d == 0) {
    return false;
  }
  const auto days =
      DaysFromCivil(static_cast<int64_t>(y), static_cast<int64_t>(mo), static_cast<int64_t>(d));
  // A day past the month's end (2025-02-30) would land in the next month.
  if (DaysFromCivil(static_cast<int64_t>(y), static_cast<int64_t>(mo) + 1, 1) <= days && mo < 12) {
    return false;
  }
  *seconds = days * 86400 + static_cast<int64_t>(h * 3600 + mi * 60 + s);
  return true;
}

}  // namespace

int64_t ParseInteger(const std::string& text, int64_t min, int64_t max, const std::string& what) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  const uint64_t limit =
      negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
  if ((negative && min >= 0) || !ParseDigits(negative ? text.substr(1) : text, limit, &magnitude)) {
    throw UsageError(what + " must be a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not \"" + text + "\"");
  }
  const int64_t value =
      negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  if (value < min || value > max) {
    throw UsageError(what + " must be from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return value;
}

int64_t ParseDurationMs(const std::string& text, const std::string& what) {
  int64_t ms = 0;
  if (!SplitDuration(text, &ms)) {
    throw UsageError(what + " must be a duration such as 500ms, 30s, 10m, 2h or 1d, not \"" + text +
                     "\"");
  }
  return ms;
}

void CheckMilliseconds(const std::string& value, const std::string& name) {
  ParseInteger(value, 0, INT32_MAX, name);
}

void CheckDuration(const std::string& value, const std::string& name) {
  ParseDurationMs(value, name);
}

void CheckTime(const std::string& value, const std::string&) { ParseTime(value, 0); }

void CheckInt32(const std::string& value, const std::string& name) {
  ParseInteger(value, INT32_MIN, INT32_MAX, name);
}

int32_t ParseTime(const std::string& text, int64_t now) {
  int64_t seconds = 0;
  bool parsed = false;
  if (text == "now") {
    seconds = now;
    parsed = true;
  } else if (text.size() > 4 && text.compare(0, 3, "now") == 0 &&
             (text[3] == '-' || text[3] == '+')) {
    int64_t ms = 0;
    if (SplitDuration(text.substr(4), &ms)) {
      seconds = now + (text[3] == '-' ? -1 : 1) * (ms / 1000);
      parsed = true;
    }
  } else if (!text.empty() && text.find_first_not_of("-0123456789") == std::string::npos) {
    seconds = ParseInteger(text, INT32_MIN, INT32_MAX, "the time");
    parsed = true;
  } else {
    parsed = ParseIsoTime(text, &seconds);
  }
  if (!parsed) {
    throw UsageError(
        "the time must be now, now-3d, now+2h, seconds since 1970 or "
        "YYYY-MM-DDTHH:MM:SSZ, not \"" +
        text + "\"");
  }
  if (seconds < INT32_MIN || seconds > INT32_MAX) {
    throw UsageError("the time \"" + text + "\" does not fit the cache's 32-bit seconds");
  }
  return static_cast<int32_t>(seconds);
}

}  // namespace orvcache
