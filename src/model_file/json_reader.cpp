#include "model_file/json_reader.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/error_msg.h"
#include "model_file/float_format.h"

namespace corvane::model_file {

namespace {

// Bytes that end a run of plain string content: the closing quote, the
// start of an escape, and the control characters a string may not hold.
constexpr std::array<bool, 256> make_string_stop_table() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}

constexpr std::array<bool, 256> kStringStop = make_string_stop_table();

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

constexpr int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  char bytes[4];
  std::size_t n;
  if (cp < 0x80) {
    bytes[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

// from_chars reports overflow and underflow alike; the literal tells them
// apart. Any literal out of double range has its decimal point at least 300
// places away from its first significant digit, so the side it lies on is
// enough: a value of 0.D x 10^k with k > 0 is too large, one with k <= 0 too
// small. The exponent may be absurdly long, hence the saturation.
bool literal_overflows(std::string_view literal) {
  std::size_t i = 0;
  if (literal[i] == '-') ++i;
  std::int64_t point = 0;  // k before the exponent is applied
  bool seen_significant = false;
  std::int64_t leading_fraction_zeros = 0;
  for (; i < literal.size() && is_digit(literal[i]); ++i) {
    if (literal[i] != '0') seen_significant = true;
    if (seen_significant) ++point;
  }
  if (i < literal.size() && literal[i] == '.') {
    for (++i; i < literal.size() && is_digit(literal[i]); ++i) {
      if (seen_significant) continue;
      if (literal[i] == '0') {
        ++leading_fraction_zeros;
      } else {
        seen_significant = true;
      }
    }
  }
  if (!seen_significant) return false;
  if (point == 0) point = -leading_fraction_zeros;
  std::int64_t exponent = 0;
  if (i < literal.size()) {
    ++i;  // 'e' or 'E'
    bool negative = false;
    if (literal[i] == '+' || literal[i] == '-') {
      negative = literal[i] == '-';
      ++i;
    }
    constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
    for (; i < literal.size(); ++i) {
      if (exponent < kSaturated) exponent = exponent * 10 + (literal[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return point + exponent > 0;
}

std::string integer_text(std::uint64_t u) { return "integer `" + std::to_string(u) + "`"; }

std::string integer_text(std::int64_t i) { return "integer `" + std::to_string(i) + "`"; }

std::string float_text(double f) { return "floating point `" + format_f64(f) + "`"; }

}  // namespace

TextPosition position_of(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  const char* const data = text.data();
  for (;;) {
    const void* found = std::memchr(data + line_start, '\n', offset - line_start);
    if (found == nullptr) break;
    ++line;
    line_start = static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1;
  }
  std::size_t column = 1;
  for (std::size_t i = line_start; i < offset; ++i) {
    // Continuation bytes (10xxxxxx) belong to the character before them.
    if ((static_cast<unsigned char>(data[i]) & 0xC0) != 0x80) ++column;
  }
  return {line, column};
}

std::string render_fault(std::string_view text, const JsonReadError& fault) {
  const TextPosition position = position_of(text, fault.offset());
  return "Error(\"" + fault.message() + "\", line: " + std::to_string(position.line) +
         ", column: " + std::to_string(position.column) + ")";
}

void JsonReader::fail(std::string message, std::size_t offset) const {
  throw JsonReadError(std::move(message), offset);
}

void JsonReader::fail_found(std::string_view found, std::string_view expected) const {
  fail(msg::invalid_type(found, expected), value_start_);
}

void JsonReader::fail_invalid_value(std::string_view found, std::string_view expected) const {
  fail(msg::invalid_value(found, expected), value_start_);
}

void JsonReader::skip_whitespace() {
  const std::size_t size = text_.size();
  while (pos_ < size && is_whitespace(text_[pos_])) ++pos_;
}

JsonReader::Kind JsonReader::peek_value() {
  skip_whitespace();
  if (pos_ == text_.size()) fail(msg::kJsonEofValue, text_.size());
  value_start_ = pos_;
  switch (text_[pos_]) {
    case 'n':
      return Kind::Null;
    case 't':
    case 'f':
      return Kind::Bool;
    case '"':
      return Kind::String;
    case '[':
      return Kind::Array;
    case '{':
      return Kind::Object;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return Kind::Number;
    default:
      fail(msg::kJsonExpectedValue, pos_);
  }
}

void JsonReader::expect_ident(std::string_view literal) {
  const std::size_t size = text_.size();
  for (const char expected : literal) {
    if (pos_ == size) fail(msg::kJsonEofValue, size);
    if (text_[pos_] != expected) fail(msg::kJsonExpectedIdent, pos_);
    ++pos_;
  }
}

JsonReader::NumberText JsonReader::scan_number() {
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  NumberText number{pos_, pos_, false, true, true, 0};
  if (data[pos_] == '-') {
    number.negative = true;
    ++pos_;
  }
  if (pos_ == size) fail(msg::kJsonEofValue, size);
  if (data[pos_] == '0') {
    // A leading zero ends the integer part; whatever digit follows is left
    // for the caller to trip over.
    ++pos_;
  } else if (is_digit(data[pos_])) {
    std::uint64_t magnitude = 0;
    for (; pos_ < size && is_digit(data[pos_]); ++pos_) {
      const auto digit = static_cast<std::uint64_t>(data[pos_] - '0');
      if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        number.fits = false;
      } else {
        magnitude = magnitude * 10 + digit;
      }
    }
    number.magnitude = magnitude;
  } else {
    fail(msg::kJsonInvalidNumber, pos_);
  }
  if (pos_ < size && data[pos_] == '.') {
    number.integral = false;
    ++pos_;
    if (pos_ == size) fail(msg::kJsonEofValue, size);
    if (!is_digit(data[pos_])) fail(msg::kJsonInvalidNumber, pos_);
    while (pos_ < size && is_digit(data[pos_])) ++pos_;
  }
  if (pos_ < size && (data[pos_] == 'e' || data[pos_] == 'E')) {
    number.integral = false;
    ++pos_;
    if (pos_ < size && (data[pos_] == '+' || data[pos_] == '-')) ++pos_;
    if (pos_ == size) fail(msg::kJsonEofValue, size);
    if (!is_digit(data[pos_])) fail(msg::kJsonInvalidNumber, pos_);
    while (pos_ < size && is_digit(data[pos_])) ++pos_;
  }
  number.fits = number.fits && number.integral;
  number.end = pos_;
  return number;
}

JsonReader::Number JsonReader::to_number(const NumberText& number) const {
  Number result;
  if (number.fits) {
    if (!number.negative) {
      result.type = Number::Type::Unsigned;
      result.u = number.magnitude;
      return result;
    }
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (number.magnitude <= kMinMagnitude) {
      result.type = Number::Type::Signed;
      result.u = number.magnitude;
      result.i = number.magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                   : -static_cast<std::int64_t>(number.magnitude);
      return result;
    }
  }
  // The literal is handed over whole so that rounding is that of the full
  // decimal text, not of digits accumulated on the way.
  result.type = Number::Type::Float;
  const char* const first = text_.data() + number.start;
  const char* const last = text_.data() + number.end;
  const auto parsed = std::from_chars(first, last, result.f);
  if (parsed.ec == std::errc::result_out_of_range) {
    if (literal_overflows(std::string_view(first, static_cast<std::size_t>(last - first)))) {
      fail(msg::kJsonNumberOutOfRange, number.start);
    }
    result.f = number.negative ? -0.0 : 0.0;
  }
  return result;
}

JsonReader::Number JsonReader::read_number() { return to_number(scan_number()); }

void JsonReader::scan_string(std::string* out) {
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  ++pos_;  // opening quote
  std::size_t run_start = pos_;
  for (;;) {
    while (pos_ < size && !kStringStop[static_cast<unsigned char>(data[pos_])]) ++pos_;
    if (out != nullptr) out->append(data + run_start, pos_ - run_start);
    if (pos_ == size) fail(msg::kJsonEofString, size);
    const char c = data[pos_];
    if (c == '"') {
      ++pos_;
      return;
    }
    if (c != '\\') fail(msg::kJsonControlCharacter, pos_);
    scan_escape(out);
    run_start = pos_;
  }
}

std::uint32_t JsonReader::scan_hex4() {
  const std::size_t size = text_.size();
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos_ == size) fail(msg::kJsonEofString, size);
    const int digit = hex_value(text_[pos_]);
    if (digit < 0) fail(msg::kJsonInvalidEscape, pos_);
    value = value * 16 + static_cast<std::uint32_t>(digit);
    ++pos_;
  }
  return value;
}

void JsonReader::scan_escape(std::string* out) {
  const std::size_t size = text_.size();
  const std::size_t backslash = pos_;
  ++pos_;
  if (pos_ == size) fail(msg::kJsonEofString, size);
  char decoded;
  switch (text_[pos_]) {
    case '"':
      decoded = '"';
      break;
    case '\\':
      decoded = '\\';
      break;
    case '/':
      decoded = '/';
      break;
    case 'b':
      decoded = '\b';
      break;
    case 'f':
      decoded = '\f';
      break;
    case 'n':
      decoded = '\n';
      break;
    case 'r':
      decoded = '\r';
      break;
    case 't':
      decoded = '\t';
      break;
    case 'u': {
      ++pos_;
      std::uint32_t cp = scan_hex4();
      if (cp >= 0xDC00 && cp <= 0xDFFF) fail(msg::kJsonInvalidCodePoint, backslash);
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        // Only a trailing surrogate escape right after completes it.
        if (pos_ == size) fail(msg::kJsonEofString, size);
        if (text_[pos_] != '\\') fail(msg::kJsonEndOfHexEscape, pos_);
        ++pos_;
        if (pos_ == size) fail(msg::kJsonEofString, size);
        if (text_[pos_] != 'u') fail(msg::kJsonEndOfHexEscape, pos_);
        ++pos_;
        const std::uint32_t low = scan_hex4();
        if (low < 0xDC00 || low > 0xDFFF) fail(msg::kJsonLoneLeadingSurrogate, backslash);
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out != nullptr) append_utf8(*out, cp);
      return;
    }
    default:
      fail(msg::kJsonInvalidEscape, pos_);
  }
  ++pos_;
  if (out != nullptr) out->push_back(decoded);
}

std::string JsonReader::describe_value(Kind kind) {
  switch (kind) {
    case Kind::Null:
      expect_ident("null");
      return "null";
    case Kind::Bool:
      if (text_[pos_] == 't') {
        expect_ident("true");
        return "boolean `true`";
      }
      expect_ident("false");
      return "boolean `false`";
    case Kind::Number: {
      const Number number = read_number();
      switch (number.type) {
        case Number::Type::Unsigned:
          return integer_text(number.u);
        case Number::Type::Signed:
          return integer_text(number.i);
        case Number::Type::Float:
          break;
      }
      return float_text(number.f);
    }
    case Kind::String: {
      std::string text;
      scan_string(&text);
      return "string \"" + text + "\"";
    }
    case Kind::Array:
      return "sequence";
    case Kind::Object:
      break;
  }
  return "map";
}

void JsonReader::fail_invalid_type(std::string_view expected) {
  const Kind kind = peek_value();
  fail_found(describe_value(kind), expected);
}

std::int32_t JsonReader::read_i32() {
  constexpr std::string_view kExpected = "i32";
  const Kind kind = peek_value();
  if (kind != Kind::Number) fail_found(describe_value(kind), kExpected);
  const Number number = read_number();
  switch (number.type) {
    case Number::Type::Unsigned:
      if (number.u > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        fail_invalid_value(integer_text(number.u), kExpected);
      }
      return static_cast<std::int32_t>(number.u);
    case Number::Type::Signed:
      if (number.i < std::numeric_limits<std::int32_t>::min()) {
        fail_invalid_value(integer_text(number.i), kExpected);
      }
      return static_cast<std::int32_t>(number.i);
    case Number::Type::Float:
      break;
  }
  fail_found(float_text(number.f), kExpected);
}

std::uint64_t JsonReader::read_u64() {
  constexpr std::string_view kExpected = "usize";
  const Kind kind = peek_value();
  if (kind != Kind::Number) fail_found(describe_value(kind), kExpected);
  const Number number = read_number();
  switch (number.type) {
    case Number::Type::Unsigned:
      return number.u;
    case Number::Type::Signed:
      if (number.i < 0) fail_invalid_value(integer_text(number.i), kExpected);
      return 0;  // "-0"
    case Number::Type::Float:
      break;
  }
  fail_found(float_text(number.f), kExpected);
}

double JsonReader::read_f64() {
  const Kind kind = peek_value();
  if (kind == Kind::Null) {
    // The writer puts null for non-finite values; reading it back as NaN
    // lets every written file load again.
    expect_ident("null");
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (kind != Kind::Number) fail_found(describe_value(kind), "f64");
  const Number number = read_number();
  switch (number.type) {
    case Number::Type::Unsigned:
      return static_cast<double>(number.u);
    case Number::Type::Signed:
      return -static_cast<double>(number.u);
    case Number::Type::Float:
      break;
  }
  return number.f;
}

bool JsonReader::read_bool() {
  const Kind kind = peek_value();
  if (kind != Kind::Bool) fail_found(describe_value(kind), "a boolean");
  if (text_[pos_] == 't') {
    expect_ident("true");
    return true;
  }
  expect_ident("false");
  return false;
}

std::string JsonReader::read_string() {
  std::string out;
  read_string(out);
  return out;
}

void JsonReader::read_string(std::string& out) {
  const Kind kind = peek_value();
  if (kind != Kind::String) fail_found(describe_value(kind), "a string");
  out.clear();
  scan_string(&out);
}

void JsonReader::enter_container() {
  if (depth_ == kMaxDepth) fail(msg::kJsonRecursionLimit, pos_);
  ++depth_;
  started_[depth_] = false;
  ++pos_;
}

void JsonReader::begin_array(std::string_view expected) {
  const Kind kind = peek_value();
  if (kind != Kind::Array) fail_found(describe_value(kind), expected);
  enter_container();
}

void JsonReader::begin_object(std::string_view expected) {
  const Kind kind = peek_value();
  if (kind != Kind::Object) fail_found(describe_value(kind), expected);
  enter_container();
}

bool JsonReader::advance_in(char close, const char* eof, const char* expected_comma) {
  const std::size_t size = text_.size();
  skip_whitespace();
  if (pos_ == size) fail(eof, size);
  if (text_[pos_] == close) {
    close_offset_ = pos_;
    ++pos_;
    --depth_;
    return false;
  }
  if (started_[depth_]) {
    if (text_[pos_] != ',') fail(expected_comma, pos_);
    ++pos_;
    skip_whitespace();
    if (pos_ == size) fail(msg::kJsonEofValue, size);
    if (text_[pos_] == close) fail(msg::kJsonTrailingComma, pos_);
  } else {
    started_[depth_] = true;
  }
  return true;
}

bool JsonReader::next_element() {
  return advance_in(']', msg::kJsonEofList, msg::kJsonExpectedListComma);
}

bool JsonReader::next_member(std::string& key) { return advance_member(&key); }

bool JsonReader::advance_member(std::string* key) {
  if (!advance_in('}', msg::kJsonEofObject, msg::kJsonExpectedObjectComma)) return false;
  const std::size_t size = text_.size();
  if (text_[pos_] != '"') fail(msg::kJsonKeyMustBeString, pos_);
  key_start_ = pos_;
  if (key != nullptr) key->clear();
  scan_string(key);
  skip_whitespace();
  if (pos_ == size) fail(msg::kJsonEofObject, size);
  if (text_[pos_] != ':') fail(msg::kJsonExpectedColon, pos_);
  ++pos_;
  return true;
}

void JsonReader::skip_value() {
  const Kind kind = peek_value();
  switch (kind) {
    case Kind::Null:
      expect_ident("null");
      return;
    case Kind::Bool:
      expect_ident(text_[pos_] == 't' ? "true" : "false");
      return;
    case Kind::Number:
      // Only the grammar matters for a value nobody reads; 1e400 passes.
      scan_number();
      return;
    case Kind::String:
      scan_string(nullptr);
      return;
    case Kind::Array:
      enter_container();
      while (next_element()) skip_value();
      return;
    case Kind::Object:
      enter_container();
      while (advance_member(nullptr)) skip_value();
      return;
  }
}

void JsonReader::finish() {
  skip_whitespace();
  if (pos_ != text_.size()) fail(msg::kJsonTrailingCharacters, pos_);
}

}  // namespace corvane::model_file
