#include "model_file/float_format.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace corvane::model_file {

namespace {

// Where the decimal point may sit before the text switches to the
// exponential form. The two widths differ only in these bounds.
struct Layout {
  int max_point;  // largest k written without an exponent
  int min_point;  // smallest k written as "0.000ddd" (exclusive bound below)
};

constexpr Layout kLayout64{16, -5};
constexpr Layout kLayout32{13, -6};

template <class Float>
std::size_t write_float(char* text, Float value, Layout layout) {
  if (!std::isfinite(value)) {
    std::memcpy(text, "null", 4);
    return 4;
  }
  if (value == 0) {
    if (!std::signbit(value)) {
      std::memcpy(text, "0.0", 3);
      return 3;
    }
    std::memcpy(text, "-0.0", 4);
    return 4;
  }

  // to_chars without a precision yields the shortest digits that read back
  // at the argument's own width; only the layout is ours to decide.
  char sci[48];
  const auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  const char* const sci_end = result.ptr;

  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[24];
  int d = 0;
  digits[d++] = *p++;
  if (*p == '.') {
    ++p;
    while (*p != 'e') digits[d++] = *p++;
  }
  ++p;  // 'e'
  bool exponent_negative = false;
  if (*p == '+' || *p == '-') {
    exponent_negative = *p == '-';
    ++p;
  }
  int exponent = 0;
  while (p < sci_end) exponent = exponent * 10 + (*p++ - '0');
  if (exponent_negative) exponent = -exponent;
  // The shortest form never has trailing zeros, but the layout rules count
  // on it, so do not trust it blindly.
  while (d > 1 && digits[d - 1] == '0') --d;

  const int k = exponent + 1;  // value = 0.D x 10^k
  char* o = text;
  if (negative) *o++ = '-';
  if (d <= k && k <= layout.max_point) {
    for (int i = 0; i < d; ++i) *o++ = digits[i];
    for (int i = d; i < k; ++i) *o++ = '0';
    *o++ = '.';
    *o++ = '0';
  } else if (0 < k && k <= layout.max_point) {
    for (int i = 0; i < k; ++i) *o++ = digits[i];
    *o++ = '.';
    for (int i = k; i < d; ++i) *o++ = digits[i];
  } else if (layout.min_point < k && k <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (int i = k; i < 0; ++i) *o++ = '0';
    for (int i = 0; i < d; ++i) *o++ = digits[i];
  } else {
    *o++ = digits[0];
    if (d > 1) {
      *o++ = '.';
      for (int i = 1; i < d; ++i) *o++ = digits[i];
    }
    *o++ = 'e';
    o = std::to_chars(o, text + kMaxFloatText, k - 1).ptr;
  }
  return static_cast<std::size_t>(o - text);
}

}  // namespace

std::size_t write_f64(char* text, double value) { return write_float(text, value, kLayout64); }

std::size_t write_f32(char* text, float value) { return write_float(text, value, kLayout32); }

void append_f64(std::string& out, double value) {
  char text[kMaxFloatText];
  out.append(text, write_f64(text, value));
}

void append_f32(std::string& out, float value) {
  char text[kMaxFloatText];
  out.append(text, write_f32(text, value));
}

}  // namespace corvane::model_file
