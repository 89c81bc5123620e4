// Compact JSON writer for model files: no whitespace, members and elements
// separated by ",", strings escaped exactly as the file format prescribes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model_file/output_sink.h"

namespace corvane::model_file {

// Thread-safety: an object is used by one thread at a time.
class JsonWriter {
 public:
  // Writes into `sink`; the caller flushes it when the text is complete.
  explicit JsonWriter(OutputSink& sink) : sink_(&sink) {}
  // Appends to `out` as the text is produced.
  explicit JsonWriter(std::string& out) : string_sink_(std::in_place, out), sink_(&*string_sink_) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

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
  // Appends members that are already valid compact JSON ("a":1,"b":[2]),
  // as members of the object being written; nothing for an empty text.
  void members_raw(std::string_view json);
  // value_raw(json) `count` times in a row, as array elements. A counting
  // sink measures the run without producing it.
  void value_raw_repeated(std::string_view json, std::uint64_t count);

 private:
  void separate();
  void open(char bracket);
  void close(char bracket);

  std::optional<StringSink> string_sink_;
  OutputSink* sink_;
  // One entry per open container: whether it already holds an element.
  std::vector<bool> has_element_;
  bool after_key_ = false;
};

// Appends `text` as a JSON string literal (quotes included).
void append_json_string(std::string& out, std::string_view text);

}  // namespace corvane::model_file
