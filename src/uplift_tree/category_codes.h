// The categories that the splits of a model test on one feature column, each
// given a small integer code, so that routing a row compares integers instead
// of strings. A string that no split tests gets kNoCategory, which equals no
// split's code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Thread-safety: immutable once built; any number of threads may look up.
class CategoryCodes {
 public:
  // Codes are 0, 1, 2, ... in the order categories were added.
  static constexpr std::uint32_t kNoCategory = 0xFFFFFFFFu;

  // Gives `text` a code unless it has one; returns its code.
  std::uint32_t add(std::string_view text);
  std::uint32_t find(std::string_view text) const;
  bool empty() const { return count_ == 0; }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t code_plus_one = 0;  // 0: free
  };
  void grow();
  std::uint32_t probe(std::string_view text, std::uint64_t hash) const;

  std::string bytes_;  // every category's text, back to back
  std::vector<Slot> slots_;
  std::uint32_t count_ = 0;
};

}  // namespace corvane
