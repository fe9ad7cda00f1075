// How many terminal columns a text of the region takes, for aligning tables.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvcache {

// The text read as UTF-8 without asking the locale: one column a character, two for the
// wide characters of East Asian scripts, none for combining marks; a byte outside a
// well-formed sequence (a text in a single-byte code page) takes one column.
std::size_t DisplayWidth(std::string_view text);

}  // namespace orvcache
