// One-pass pull reader for model files. It parses straight from the text into
// the caller's records (no document tree) and reports every fault as a message
// plus the byte offset where it was found; line and column are worked out only
// when the fault is rendered for the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace corvane::model_file {

class JsonReadError : public std::exception {
 public:
  JsonReadError(std::string message, std::size_t offset)
      : message_(std::move(message)), offset_(offset) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  std::size_t offset() const { return offset_; }

 private:
  std::string message_;
  std::size_t offset_;
};

struct TextPosition {
  std::size_t line;    // from 1
  std::size_t column;  // from 1, in characters (UTF-8 code points)
};

// Line and column of the character at byte `offset` of `text` (offset may be
// text.size(), the end of the text).
TextPosition position_of(std::string_view text, std::size_t offset);

// "Error(\"<message>\", line: L, column: C)"
std::string render_fault(std::string_view text, const JsonReadError& fault);

class JsonReader {
 public:
  // Deepest nesting of arrays and objects that is accepted.
  static constexpr int kMaxDepth = 128;

  explicit JsonReader(std::string_view text) : text_(text) {}

  enum class Kind { Null, Bool, Number, String, Array, Object };

  // Skips whitespace and classifies the next value by its first byte.
  // Fails with "EOF while parsing a value" at the end of the text and with
  // "expected value" on a byte that starts no JSON value.
  Kind peek_value();

  // Byte offset where the value last peeked or read begins.
  std::size_t value_start() const { return value_start_; }

  // Scalars. A value of another JSON type fails with
  // "invalid type: <found>, expected <what>", where <what> is given below.
  std::int32_t read_i32();    // "i32"; out of range: "invalid value: integer `V`, expected i32"
  std::uint64_t read_u64();   // "usize"; negative/out of range: invalid value
  double read_f64();          // "f64"; any number, and null as NaN
  bool read_bool();           // "a boolean"
  std::string read_string();  // "a string"
  void read_string(std::string& out);

  // Containers. begin_* consume the opening bracket; on any other value they
  // fail with "invalid type: <found>, expected <expected>".
  void begin_array(std::string_view expected);
  // After begin_array: true when an element follows (the cursor is at it),
  // false once the closing "]" has been consumed.
  bool next_element();
  void begin_object(std::string_view expected);
  // After begin_object: true when a member follows, with its key in `key`
  // and the ":" consumed (the cursor is at the value); false once the closing
  // "}" has been consumed.
  bool next_member(std::string& key);
  // Byte offset where the key last returned by next_member begins.
  std::size_t key_start() const { return key_start_; }
  // Byte offset of the bracket that closed the last container.
  std::size_t close_offset() const { return close_offset_; }

  // Reads and discards one well-formed value of any type.
  void skip_value();

  // After the top-level value only whitespace may follow.
  void finish();

  // Reads the next value only to describe it ("integer `5`", "string \"a\"",
  // "sequence", "map", ...) and fails with
  // "invalid type: <found>, expected <expected>" at its start.
  [[noreturn]] void fail_invalid_type(std::string_view expected);

  [[noreturn]] void fail(std::string message, std::size_t offset) const;

  std::size_t offset() const { return pos_; }

 private:
  // A number as scanned: the grammar is checked, the value not yet made.
  struct NumberText {
    std::size_t start;
    std::size_t end;
    bool negative;
    bool integral;            // no fraction, no exponent
    bool fits;                // integral and the magnitude fits 64 bits
    std::uint64_t magnitude;  // valid when `fits`
  };
  // A number as read: an integer when the literal allows, else a double.
  // A Signed number keeps its magnitude in `u` too, so that "-0" stays an
  // integer for integer fields and still reads as -0.0 for float ones.
  struct Number {
    enum class Type { Unsigned, Signed, Float } type;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;
  };

  void skip_whitespace();
  NumberText scan_number();
  Number read_number();
  Number to_number(const NumberText& number) const;
  // Consumes `literal` (null, true, false) whose first byte is at the cursor.
  void expect_ident(std::string_view literal);
  // Parses the string whose opening quote is at the cursor; decoded bytes go
  // to `out` unless it is null.
  void scan_string(std::string* out);
  void scan_escape(std::string* out);
  std::uint32_t scan_hex4();
  void enter_container();
  // Moves on in the open container that `close` ends: false once the
  // bracket is consumed, else true with the cursor at the next element.
  bool advance_in(char close, const char* eof, const char* expected_comma);
  bool advance_member(std::string* key);
  // Consumes the value at the cursor (already peeked as `kind`) and says
  // what it is, for invalid-type faults.
  std::string describe_value(Kind kind);
  [[noreturn]] void fail_found(std::string_view found, std::string_view expected) const;
  [[noreturn]] void fail_invalid_value(std::string_view found, std::string_view expected) const;

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t value_start_ = 0;
  std::size_t key_start_ = 0;
  std::size_t close_offset_ = 0;
  int depth_ = 0;
  // Per open container (up to kMaxDepth): whether an element was read.
  bool started_[kMaxDepth + 1] = {};
};

}  // namespace corvane::model_file
