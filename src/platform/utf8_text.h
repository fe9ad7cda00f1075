// UTF-8 text one code point at a time, without the C library's locale, so that every
// process reads the same bytes as the same characters whatever locale it runs in.
// Bytes that are not part of a well-formed sequence are kept, each as its own escape
// character, so that decoding and encoding again gives back exactly the bytes given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tq5::platform {

// The escape of a byte 0x80-0xFF outside a well-formed sequence: U+DC80-U+DCFF, lone
// surrogates, which no well-formed UTF-8 decodes to.
inline constexpr char32_t kByteEscape = 0xDC00;

// The code point at `*at` (which must be before the end) or the escape of its first
// byte; moves `*at` past what it read.
char32_t NextCodePoint(std::string_view bytes, std::size_t* at);

// Appends the bytes of `c`: its UTF-8 sequence, or for an escape the byte it stands for.
// False, appending nothing, for a character no bytes stand for (another surrogate, or a
// value past U+10FFFF).
bool AppendCodePoint(char32_t c, std::string* out);

}  // namespace tq5::platform
