#include <cstddef>
#include <string_view>

#include "check.h"
#include "model_file/utf8.h"

using corvane::model_file::scan_utf8_prefix;

TEST(utf8_prefix_tells_cut_characters_from_faults) {
  struct Case {
    std::string_view text;
    std::size_t complete;
    bool invalid;
  };
  const Case cases[] = {
      {"", 0, false},
      {"abc", 3, false},
      {"ab\xd0", 2, false},          // first byte of a two-byte character
      {"ab\xe2\x82", 2, false},      // two of three bytes
      {"ab\xf0\x9f\x98", 2, false},  // three of four bytes
      {"ab\xd0\xb2", 4, false},      // whole
      {"ab\xff", 2, true},           // never UTF-8
      {"ab\xc0", 2, true},           // overlong lead
      {"ab\xe0\x80", 2, true},       // overlong, seen at the second byte
      {"ab\xed\xa0", 2, true},       // surrogate, seen at the second byte
      {"ab\xf4\x90", 2, true},       // past U+10FFFF
      {"ab\xe2"
       "a",
       2, true},  // cut by an ASCII byte
      {"0123456789\xd0\xb2xyz\x80", 15, true},
  };
  for (const Case& c : cases) {
    const auto scan = scan_utf8_prefix(c.text);
    CHECK_EQ(scan.complete, c.complete);
    CHECK_EQ(scan.invalid, c.invalid);
  }
}
