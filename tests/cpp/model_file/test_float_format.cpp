#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "check.h"
#include "model_file/float_format.h"

using corvane::model_file::format_f32;
using corvane::model_file::format_f64;

namespace {

struct F64Case {
  double value;
  const char* text;
};

struct F32Case {
  float value;
  const char* text;
};

// What the layout rule makes of 10^e: plain digits up to the width's limit,
// "0.0..01" for a few negative powers, exponential beyond.
std::string expected_power_of_ten(int e, int max_point, int min_point) {
  const int k = e + 1;
  std::string text;
  if (k >= 1 && k <= max_point) {
    text.append("1").append(static_cast<std::size_t>(e), '0').append(".0");
  } else if (k > min_point && k <= 0) {
    text.append("0.").append(static_cast<std::size_t>(-k), '0').append("1");
  } else {
    text.append("1e").append(std::to_string(e));
  }
  return text;
}

}  // namespace

TEST(float_format_f64_goldens) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const F64Case cases[] = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {1e16, "1e16"},
      {1e15, "1000000000000000.0"},
      {-2.5, "-2.5"},
      {123.45, "123.45"},
      {1.5e-7, "1.5e-7"},
      {3.0, "3.0"},
      {0.00012, "0.00012"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {nan, "null"},
      {-nan, "null"},
      {inf, "null"},
      {-inf, "null"},
      {0.5, "0.5"},
      {100.0, "100.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.2345e-5, "0.000012345"},
      {1.2345e-6, "1.2345e-6"},
      {9.999e-6, "9.999e-6"},
      {9999999999999998.0, "9999999999999998.0"},
      {12345678901234567.0, "1.2345678901234568e16"},
      {123456789012345.67, "123456789012345.67"},
      {1.5, "1.5"},
      {9007199254740992.0, "9007199254740992.0"},
      {-1e-300, "-1e-300"},
      {1.5e300, "1.5e300"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {-std::numeric_limits<double>::max(), "-1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-std::numeric_limits<double>::denorm_min(), "-5e-324"},
      {std::numeric_limits<double>::epsilon(), "2.220446049250313e-16"},
  };
  for (const F64Case& c : cases) CHECK_EQ(format_f64(c.value), c.text);
}

TEST(float_format_f32_goldens) {
  const F32Case cases[] = {
      {0.1f, "0.1"},
      {1e-6f, "0.000001"},
      {1e-7f, "1e-7"},
      {1.5e-6f, "0.0000015"},
      {1.0f, "1.0"},
      {30.5f, "30.5"},
      {0.3f, "0.3"},
      {-0.0f, "-0.0"},
      {0.0f, "0.0"},
      {std::numeric_limits<float>::infinity(), "null"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {123456.79f, "123456.79"},
      {16777216.0f, "16777216.0"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e13"},
      {-1234.5f, "-1234.5"},
      {std::numeric_limits<float>::max(), "3.4028235e38"},
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
  };
  for (const F32Case& c : cases) CHECK_EQ(format_f32(c.value), c.text);
}

TEST(float_format_powers_of_ten_around_layout_limits) {
  for (int e = -12; e <= 24; ++e) {
    const std::string literal = std::string("1e").append(std::to_string(e));
    double d = 0;
    float f = 0;
    std::from_chars(literal.data(), literal.data() + literal.size(), d);
    std::from_chars(literal.data(), literal.data() + literal.size(), f);
    const std::string expected = expected_power_of_ten(e, 16, -5);
    CHECK_EQ(format_f64(d), expected);
    CHECK_EQ(format_f64(-d), std::string("-").append(expected));
    CHECK_EQ(format_f32(f), expected_power_of_ten(e, 13, -6));
  }
}

// Every finite value must read back to the same bits at its own width, and
// the text must always look like a float (a "." or an "e", never a "+").
TEST(float_format_random_round_trips) {
  std::mt19937_64 random(20240611);
  int f64_mismatches = 0;
  int f32_mismatches = 0;
  std::string first_bad;
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t bits = random();
    const double d = std::bit_cast<double>(bits);
    const std::string text = format_f64(d);
    if (d != d || d == std::numeric_limits<double>::infinity() ||
        d == -std::numeric_limits<double>::infinity()) {
      if (text != "null") ++f64_mismatches;
    } else {
      double back = 0;
      const auto parsed = std::from_chars(text.data(), text.data() + text.size(), back);
      const bool looks_float =
          text.find_first_of(".e") != std::string::npos && text.find('+') == std::string::npos;
      if (parsed.ptr != text.data() + text.size() || std::bit_cast<std::uint64_t>(back) != bits ||
          !looks_float) {
        if (f64_mismatches++ == 0) first_bad = text;
      }
    }

    const auto fbits = static_cast<std::uint32_t>(bits >> 32);
    const float f = std::bit_cast<float>(fbits);
    if (f != f || f == std::numeric_limits<float>::infinity() ||
        f == -std::numeric_limits<float>::infinity()) {
      continue;
    }
    const std::string ftext = format_f32(f);
    float fback = 0;
    const auto fparsed = std::from_chars(ftext.data(), ftext.data() + ftext.size(), fback);
    if (fparsed.ptr != ftext.data() + ftext.size() ||
        std::bit_cast<std::uint32_t>(fback) != fbits) {
      if (f32_mismatches++ == 0) first_bad = ftext;
    }
  }
  CHECK_EQ(f64_mismatches, 0);
  CHECK_EQ(f32_mismatches, 0);
  CHECK_EQ(first_bad, "");
}
