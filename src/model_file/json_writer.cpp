#include "model_file/json_writer.h"

#include <array>
#include <charconv>

#include "model_file/float_format.h"

namespace corvane::model_file {

namespace {

// For every byte: 0 when it is copied as it is, otherwise the letter of its
// short escape, or 'u' for the \u00XX form.
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> kEscape = make_escape_table();

constexpr char kHexDigits[] = "0123456789abcdef";

template <class Int>
void append_integer(OutputSink& out, Int v) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, v);
  out.append(text, static_cast<std::size_t>(result.ptr - text));
}

// Out is a std::string or an OutputSink: both take push_back and append.
template <class Out>
void put_json_string(Out& out, std::string_view text) {
  out.push_back('"');
  const char* const data = text.data();
  const std::size_t size = text.size();
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const char escape = kEscape[static_cast<unsigned char>(data[i])];
    if (escape == 0) continue;
    out.append(data + run_start, i - run_start);
    run_start = i + 1;
    if (escape == 'u') {
      const auto c = static_cast<unsigned char>(data[i]);
      const char sequence[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
      out.append(sequence, sizeof sequence);
    } else {
      const char sequence[2] = {'\\', escape};
      out.append(sequence, sizeof sequence);
    }
  }
  out.append(data + run_start, size - run_start);
  out.push_back('"');
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) { put_json_string(out, text); }

void JsonWriter::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_element_.empty()) return;
  if (has_element_.back()) {
    sink_->push_back(',');
  } else {
    has_element_.back() = true;
  }
}

void JsonWriter::open(char bracket) {
  separate();
  sink_->push_back(bracket);
  has_element_.push_back(false);
}

void JsonWriter::close(char bracket) {
  has_element_.pop_back();
  sink_->push_back(bracket);
}

void JsonWriter::begin_object() { open('{'); }
void JsonWriter::end_object() { close('}'); }
void JsonWriter::begin_array() { open('['); }
void JsonWriter::end_array() { close(']'); }

void JsonWriter::key(std::string_view name) {
  separate();
  put_json_string(*sink_, name);
  sink_->push_back(':');
  after_key_ = true;
}

void JsonWriter::value_string(std::string_view text) {
  separate();
  put_json_string(*sink_, text);
}

void JsonWriter::value_i64(std::int64_t v) {
  separate();
  append_integer(*sink_, v);
}

void JsonWriter::value_u64(std::uint64_t v) {
  separate();
  append_integer(*sink_, v);
}

void JsonWriter::value_bool(bool v) {
  separate();
  sink_->append(v ? std::string_view("true") : std::string_view("false"));
}

void JsonWriter::value_f64(double v) {
  separate();
  char text[kMaxFloatText];
  sink_->append(text, write_f64(text, v));
}

void JsonWriter::value_f32(float v) {
  separate();
  char text[kMaxFloatText];
  sink_->append(text, write_f32(text, v));
}

void JsonWriter::value_raw(std::string_view json) {
  separate();
  sink_->append(json);
}

void JsonWriter::members_raw(std::string_view json) {
  if (json.empty()) return;
  separate();
  sink_->append(json);
}

void JsonWriter::value_raw_repeated(std::string_view json, std::uint64_t count) {
  if (count == 0) return;
  value_raw(json);
  sink_->append_repeated(',', json, count - 1);
}

}  // namespace corvane::model_file
