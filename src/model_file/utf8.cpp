#include "model_file/utf8.h"

#include <cstdint>
#include <cstring>

namespace corvane::model_file {

namespace {

// Whether the `available` bytes at p (fewer than its lead byte needs) can
// still become a well-formed character.
bool could_complete(const unsigned char* p, std::ptrdiff_t available) {
  for (std::ptrdiff_t i = 1; i < available; ++i)
    if ((p[i] & 0xC0) != 0x80) return false;
  if (available < 2) return true;
  // The second byte alone rules out overlong forms, surrogates and values
  // past U+10FFFF.
  switch (p[0]) {
    case 0xE0:
      return p[1] >= 0xA0;
    case 0xED:
      return p[1] <= 0x9F;
    case 0xF0:
      return p[1] >= 0x90;
    case 0xF4:
      return p[1] <= 0x8F;
    default:
      return true;
  }
}

}  // namespace

Utf8Prefix scan_utf8_prefix(std::string_view text) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* p = begin;
  const auto* end = p + text.size();
  const auto at = [&](bool invalid) {
    return Utf8Prefix{static_cast<std::size_t>(p - begin), invalid};
  };
  while (p < end) {
    // Model files are mostly ASCII: skip it eight bytes at a time.
    if (end - p >= 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p, 8);
      if ((chunk & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return at(true);
    }
    if (end - p <= extra) return at(!could_complete(p, end - p));
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return at(true);
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return at(true);
    p += extra + 1;
  }
  return at(false);
}

bool is_valid_utf8(std::string_view text) {
  const Utf8Prefix scan = scan_utf8_prefix(text);
  return !scan.invalid && scan.complete == text.size();
}

}  // namespace corvane::model_file
