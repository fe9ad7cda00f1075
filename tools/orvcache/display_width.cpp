#include "display_width.h"

#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Characters that terminals draw two columns wide: the East Asian wide and full-width
// blocks, and the pictographs that are drawn as wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Marks that combine with the character before them and take no column of their own.
constexpr Range kCombining[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

template <std::size_t N>
bool In(const Range (&ranges)[N], char32_t c) {
  for (const Range& range : ranges) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

}  // namespace

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    const char32_t c = tq5::admin::NextCodePoint(text, &at);
    if (In(kCombining, c)) continue;
    width += In(kWide, c) ? 2 : 1;
  }
  return width;
}

}  // namespace orvcache
