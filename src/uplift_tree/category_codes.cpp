#include "uplift_tree/category_codes.h"

#include <cstring>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

namespace {

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

// Eight bytes at a time: category texts are short, and a byte-wise hash
// would cost more than the rest of a cell's conversion.
std::uint64_t hash_of(std::string_view text) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h ^ w) + 0x9E3779B97F4A7C15ull;
  }
  std::uint64_t w = 0;
  std::memcpy(&w, p, n);
  return mix(h ^ w);
}

}  // namespace

std::uint32_t CategoryCodes::probe(std::string_view text, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.code_plus_one == 0) return static_cast<std::uint32_t>(i);
    if (s.hash == hash && s.length == text.size() &&
        std::memcmp(bytes_.data() + s.offset, text.data(), text.size()) == 0)
      return static_cast<std::uint32_t>(i);
  }
}

std::uint32_t CategoryCodes::find(std::string_view text) const {
  if (count_ == 0) return kNoCategory;
  const Slot& s = slots_[probe(text, hash_of(text))];
  return s.code_plus_one == 0 ? kNoCategory : s.code_plus_one - 1;
}

std::uint32_t CategoryCodes::add(std::string_view text) {
  // At most half full, so probes stay short and always end at a free slot.
  if (2 * (count_ + 1) > slots_.size()) grow();
  const std::uint64_t hash = hash_of(text);
  Slot& s = slots_[probe(text, hash)];
  if (s.code_plus_one != 0) return s.code_plus_one - 1;
  if (bytes_.size() + text.size() > UINT32_MAX || count_ >= kNoCategory - 1)
    fail(msg::kTooManyCategories);
  s.hash = hash;
  s.offset = static_cast<std::uint32_t>(bytes_.size());
  s.length = static_cast<std::uint32_t>(text.size());
  s.code_plus_one = ++count_;
  bytes_.append(text);
  return count_ - 1;
}

void CategoryCodes::grow() {
  std::vector<Slot> old(slots_.empty() ? 16 : 2 * slots_.size());
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.code_plus_one == 0) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].code_plus_one != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

}  // namespace corvane
