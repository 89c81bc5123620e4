// Text form of floating-point numbers in model files: shortest round-trip
// digits laid out as decimal or exponential by the width rule of the format.
#pragma once

#include <cstddef>
#include <string>

namespace corvane::model_file {

// Longest text a float field can take: sign, "0.", four or five zeros and
// seventeen digits, or a mantissa of seventeen digits with "e-324".
inline constexpr std::size_t kMaxFloatText = 40;

// Write the field's text to `text` (room for kMaxFloatText bytes) and return
// its length.
std::size_t write_f64(char* text, double value);
std::size_t write_f32(char* text, float value);

// Appends `value` as a 64-bit field: `null` when not finite, "0.0"/"-0.0"
// for zeros, otherwise shortest digits with the 64-bit layout rule.
void append_f64(std::string& out, double value);

// Appends `value` as a 32-bit field (digits shortest at float precision).
void append_f32(std::string& out, float value);

inline std::string format_f64(double value) {
  std::string s;
  append_f64(s, value);
  return s;
}

inline std::string format_f32(float value) {
  std::string s;
  append_f32(s, value);
  return s;
}

}  // namespace corvane::model_file
