#pragma once

#include <cstddef>
#include <string_view>

namespace corvane::model_file {

// Well-formed UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool is_valid_utf8(std::string_view text);

// How far `text` is known to be UTF-8, for text that is still arriving:
// `complete` bytes of whole characters, then either nothing, the start of a
// character cut off by the end of the text, or (`invalid`) bytes that no
// continuation can make UTF-8.
struct Utf8Prefix {
  std::size_t complete;
  bool invalid;
};
Utf8Prefix scan_utf8_prefix(std::string_view text);

}  // namespace corvane::model_file
