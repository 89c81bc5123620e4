// How a feature's cells are read and tested: as numbers (a split sends a row
// left when its value is at most the threshold) or as categories (left when
// it is the split's category). Every layer speaks of kinds in these words:
// the data set's columns, a split's value, a routing step, a prediction cell
// and the kinds of cell a row layout accepts at a position.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

// The values index kFeatureKinds and the bits of FeatureKinds.
enum class FeatureKind : std::uint8_t { kNumeric = 0, kCategorical = 1 };

// The words of each kind, in the order of its values.
struct FeatureKindWords {
  FeatureKind kind;
  // As the estimator writes and shows kinds.
  std::string_view name;
  // The tag of a split value of this kind in tree records.
  std::string_view variant;
};
inline constexpr std::array<FeatureKindWords, 2> kFeatureKinds = {{
    {FeatureKind::kNumeric, "numeric", "Numeric"},
    {FeatureKind::kCategorical, "categorical", "Str"},
}};

static_assert([] {
  for (std::size_t i = 0; i < kFeatureKinds.size(); ++i)
    if (static_cast<std::size_t>(kFeatureKinds[i].kind) != i) return false;
  return true;
}());

inline constexpr const FeatureKindWords& words_of(FeatureKind kind) {
  return kFeatureKinds[static_cast<std::size_t>(kind)];
}

// "numeric" or "categorical", as the estimator writes kinds.
inline constexpr std::string_view feature_kind_name(FeatureKind kind) {
  return words_of(kind).name;
}

// One of the words of every kind, in order: words_of_kinds<&FeatureKindWords::name>().
template <std::string_view FeatureKindWords::*Word>
constexpr std::array<std::string_view, kFeatureKinds.size()> words_of_kinds() {
  std::array<std::string_view, kFeatureKinds.size()> words{};
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = kFeatureKinds[i].*Word;
  return words;
}

// The kind whose `name` (or, with by_variant, whose `variant`) is `word`.
inline constexpr std::optional<FeatureKind> feature_kind_called(std::string_view word,
                                                                bool by_variant = false) {
  for (const FeatureKindWords& words : kFeatureKinds)
    if ((by_variant ? words.variant : words.name) == word) return words.kind;
  return std::nullopt;
}

// A set of kinds, one bit per kind.
class FeatureKinds {
 public:
  static constexpr FeatureKinds all() { return FeatureKinds((1u << kFeatureKinds.size()) - 1); }
  static constexpr FeatureKinds only(FeatureKind kind) {
    return FeatureKinds(1u << static_cast<unsigned>(kind));
  }
  constexpr FeatureKinds operator&(FeatureKinds other) const {
    return FeatureKinds(bits_ & other.bits_);
  }
  // 1 when `kind` is in the set, else 0: cheap to and into a running flag.
  constexpr unsigned has(FeatureKind kind) const {
    return (bits_ >> static_cast<unsigned>(kind)) & 1u;
  }

 private:
  explicit constexpr FeatureKinds(unsigned bits) : bits_(static_cast<std::uint8_t>(bits)) {}
  std::uint8_t bits_;
};

}  // namespace corvane
