// Compact JSON writer for model files: no whitespace, members and elements
// separated by ",", strings escaped exactly as the file format prescribes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::model_file {

class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // Writes the member name and ":"; the member's value must follow.
  void key(std::string_view name);

  void value_string(std::string_view text);
  void value_i64(std::int64_t v);
  void value_u64(std::uint64_t v);
  void value_bool(bool v);
  void value_f64(double v);
  void value_f32(float v);
  // Appends text that is already valid compact JSON for one value.
  void value_raw(std::string_view json);

 private:
  void separate();

  std::string& out_;
  // One entry per open container: whether it already holds an element.
  std::vector<bool> has_element_;
  bool after_key_ = false;
};

// Appends `text` as a JSON string literal (quotes included).
void append_json_string(std::string& out, std::string_view text);

}  // namespace corvane::model_file
