// The integer forms a batched tree walk compares: order keys of numbers must
// reproduce every float comparison, category codes every string equality.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "uplift_tree/category_codes.h"
#include "uplift_tree/cell_key.h"

namespace {

using corvane::CategoryCodes;

std::vector<float> awkward_floats() {
  const float inf = std::numeric_limits<float>::infinity();
  const float den = std::numeric_limits<float>::denorm_min();
  const float max = std::numeric_limits<float>::max();
  std::vector<float> v = {0.0f,  -0.0f, den,   -den,       1.0f,
                          -1.0f, 0.1f,  -0.1f, max,        -max,
                          inf,   -inf,  3.0f,  3.0000002f, std::nextafter(3.0f, 0.0f)};
  v.push_back(std::bit_cast<float>(0x7FC00000u));  // NaN
  v.push_back(std::bit_cast<float>(0xFFC00001u));  // negative NaN with payload
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i)
    v.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(rng())));
  return v;
}

}  // namespace

TEST(walk_keys_order_like_floats) {
  const std::vector<float> values = awkward_floats();
  int mismatches = 0;
  for (float cell : values) {
    for (float threshold : values) {
      const bool goes_left = cell <= threshold;  // false whenever a NaN is involved
      // The walk's form: (cell - base) <= range with base 0 for numbers.
      const bool keyed = corvane::cell_key(cell) - 0u <= corvane::threshold_key(threshold);
      if (goes_left != keyed) ++mismatches;
    }
  }
  CHECK_EQ(mismatches, 0);
}

TEST(category_codes_tell_texts_apart) {
  CategoryCodes codes;
  CHECK(codes.empty());
  CHECK_EQ(codes.find("red"), CategoryCodes::kNoCategory);
  const std::vector<std::string> texts = {
      "red", "Red", "red ", "", std::string("a\0b", 3), "a", "exactly8", "exactly9!", "exactly9?"};
  for (std::size_t i = 0; i < texts.size(); ++i) CHECK_EQ(codes.add(texts[i]), i);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    CHECK_EQ(codes.add(texts[i]), i);  // adding again keeps the code
    CHECK_EQ(codes.find(texts[i]), i);
  }
  CHECK_EQ(codes.find("RED"), CategoryCodes::kNoCategory);
  CHECK_EQ(codes.find(std::string("a\0c", 3)), CategoryCodes::kNoCategory);
}

TEST(category_codes_survive_growth) {
  CategoryCodes codes;
  auto text = [](std::uint32_t i) { return std::to_string(i) + "th category"; };
  for (std::uint32_t i = 0; i < 5000; ++i) CHECK_EQ(codes.add(text(i)), i);
  int wrong = 0;
  for (std::uint32_t i = 0; i < 5000; ++i) wrong += codes.find(text(i)) != i;
  CHECK_EQ(wrong, 0);
  CHECK_EQ(codes.find(text(5000)), CategoryCodes::kNoCategory);
}
