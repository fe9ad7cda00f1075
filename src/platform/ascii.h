// ASCII letter case: the only folding the cache knows. A-Z equal a-z; no other letters
// fold and no locale is asked, so every process on every machine compares names alike.
// Used for role and user names, directory files and registry names.
#pragma once

#include <string>
#include <string_view>

namespace tq5::platform {

constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The text with A-Z folded to a-z: equal for exactly the texts that
// EqualIgnoringAsciiCase finds equal, for use as a key.
inline std::string LowerAsciiText(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

}  // namespace tq5::platform
