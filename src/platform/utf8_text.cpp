#include "platform/utf8_text.h"

namespace tq5::platform {
namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

char32_t NextCodePoint(std::string_view bytes, std::size_t* at) {
  const auto lead = static_cast<unsigned char>(bytes[*at]);
  if (lead < 0x80) {
    ++*at;
    return lead;
  }
  // The length of the sequence and the range its second byte must lie in: the narrower
  // ranges after E0, ED, F0 and F4 shut out overlong forms, surrogates and values past
  // U+10FFFF.
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  bool wellFormed = length > 0 && bytes.size() - *at >= length;
  for (std::size_t i = 1; wellFormed && i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[*at + i]);
    wellFormed = i == 1 ? byte >= low && byte <= high : IsContinuation(byte);
    value = (value << 6) | (byte & 0x3F);
  }
  if (!wellFormed) {
    ++*at;
    return kByteEscape + lead;
  }
  *at += length;
  return value;
}

bool AppendCodePoint(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF) {
    out->push_back(static_cast<char>(c - kByteEscape));
  } else if (c >= 0xD800 && c <= 0xDFFF) {
    return false;
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c <= 0x10FFFF) {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    return false;
  }
  return true;
}

}  // namespace tq5::platform
