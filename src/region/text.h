// The region's 64-byte text fields: a NUL-terminated string of at most 63 characters,
// compared whole without regard to ASCII letter case. Fields from a damaged region or
// a careless caller may lack their NUL, so nothing here reads past the field's end.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/ascii.h"
#include "tq5orvcache.h"

namespace tq5::region {

inline constexpr std::size_t kTextSize = TQ5ORVCACHE_TEXT_SIZE;
using TextField = char[kTextSize];

// The length of a caller's name if it is 1 to 63 characters long, so that it fits a text
// field with its NUL; else 0. Reads at most 64 bytes of it.
inline std::size_t UsableNameLength(const char* name) {
  const std::size_t length = strnlen(name, kTextSize);
  return length < kTextSize ? length : 0;
}

// The two names of a call that takes a user, domain name first: null pointers (-149),
// then lengths of 0 or more than 63 (-107, -108). On CACHE_OK the lengths are set.
inline ResultCode CheckUserNameLengths(const char* domainName, const char* userName,
                                       std::size_t* domainLength, std::size_t* userLength) {
  if (!domainName || !userName) return CACHE_E_INVALID_POINTER;
  if ((*domainLength = UsableNameLength(domainName)) == 0) return CACHE_E_BAD_DOMAIN_NAME;
  if ((*userLength = UsableNameLength(userName)) == 0) return CACHE_E_BAD_USER_NAME;
  return CACHE_OK;
}

// Whether the field holds its NUL within its bytes.
inline bool IsTerminated(const TextField& field) {
  return std::memchr(field, '\0', kTextSize) != nullptr;
}

// A-Z equal a-z; no other folding and no locale, so the answer is the same on every
// machine and in every process.
inline bool EqualsIgnoringAsciiCase(const TextField& a, const TextField& b) {
  for (std::size_t i = 0; i < kTextSize; ++i) {
    const char x = a[i];
    if (x != b[i] && platform::LowerAscii(x) != platform::LowerAscii(b[i])) return false;
    if (x == '\0') return true;
  }
  // Sixty-four equal bytes without a NUL: as much as the fields can hold.
  return true;
}

// The field's text with A-Z folded to a-z, up to its NUL or its end: equal for exactly
// the fields that EqualsIgnoringAsciiCase finds equal, for use as a key.
inline std::string FoldedText(const TextField& field) {
  return platform::LowerAsciiText(std::string_view(field, strnlen(field, kTextSize)));
}

}  // namespace tq5::region
