#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "check.h"
#include "model_file/float_format.h"
#include "model_file/json_reader.h"
#include "model_file/record_reader.h"

using corvane::model_file::format_f32;
using corvane::model_file::format_f64;
using corvane::model_file::JsonReader;
using corvane::model_file::JsonReadError;
using corvane::model_file::position_of;
using corvane::model_file::read_record;
using corvane::model_file::render_fault;
using namespace std::string_view_literals;

namespace {

using Read = std::function<void(JsonReader&)>;

// Runs `read` and then finish(); gives the rendered fault or "ok".
std::string outcome(std::string_view document, const Read& read) {
  JsonReader reader(document);
  try {
    read(reader);
    reader.finish();
  } catch (const JsonReadError& fault) {
    return render_fault(document, fault);
  }
  return "ok";
}

// Reads any document the way a record reader would, through the typed calls.
void read_any(JsonReader& reader) {
  switch (reader.peek_value()) {
    case JsonReader::Kind::Null:
    case JsonReader::Kind::Number:
      reader.read_f64();
      return;
    case JsonReader::Kind::Bool:
      reader.read_bool();
      return;
    case JsonReader::Kind::String:
      reader.read_string();
      return;
    case JsonReader::Kind::Array:
      reader.begin_array("a sequence");
      while (reader.next_element()) read_any(reader);
      return;
    case JsonReader::Kind::Object: {
      reader.begin_object("a map");
      std::string key;
      while (reader.next_member(key)) read_any(reader);
      return;
    }
  }
}

void skip_any(JsonReader& reader) { reader.skip_value(); }

// Concatenation by append: GCC 12 warns falsely (-Wrestrict) on
// "literal" + std::string at -O3.
template <class... Parts>
std::string joined(const Parts&... parts) {
  std::string text;
  (text.append(parts), ...);
  return text;
}

std::string error(std::string_view message, int line, int column) {
  return joined("Error(\"", message, "\", line: ", std::to_string(line),
                ", column: ", std::to_string(column), ")");
}

struct SyntaxCase {
  std::string_view document;
  std::string_view message;
  int line;
  int column;
};

// Faults of the text itself: skip_value and the typed reads must agree.
const SyntaxCase kSyntaxCases[] = {
    {"[1,2", "EOF while parsing a list", 1, 5},
    {"[", "EOF while parsing a list", 1, 2},
    {"[1 ", "EOF while parsing a list", 1, 4},
    {R"({"a":1)", "EOF while parsing an object", 1, 7},
    {"{", "EOF while parsing an object", 1, 2},
    {R"({"a")", "EOF while parsing an object", 1, 5},
    {R"("abc)", "EOF while parsing a string", 1, 5},
    {R"("ab\)", "EOF while parsing a string", 1, 5},
    {R"("\u12)", "EOF while parsing a string", 1, 6},
    {R"("\uD800)", "EOF while parsing a string", 1, 8},
    {R"("\uD800\)", "EOF while parsing a string", 1, 9},
    {R"({"ab)", "EOF while parsing a string", 1, 5},
    {"", "EOF while parsing a value", 1, 1},
    {"   ", "EOF while parsing a value", 1, 4},
    {"[1,", "EOF while parsing a value", 1, 4},
    {"-", "EOF while parsing a value", 1, 2},
    {"1.", "EOF while parsing a value", 1, 3},
    {"1e", "EOF while parsing a value", 1, 3},
    {"1e+", "EOF while parsing a value", 1, 4},
    {"nul", "EOF while parsing a value", 1, 4},
    {R"({"a":)", "EOF while parsing a value", 1, 6},
    {R"({"a":1,)", "EOF while parsing a value", 1, 8},
    {R"({"a" 1})", "expected `:`", 1, 6},
    {"[1 2]", "expected `,` or `]`", 1, 4},
    {"[01]", "expected `,` or `]`", 1, 3},
    {"[truefalse]", "expected `,` or `]`", 1, 6},
    {R"({"a":1 "b":2})", "expected `,` or `}`", 1, 8},
    {"nulx", "expected ident", 1, 4},
    {"[tru ]", "expected ident", 1, 5},
    {"fals]", "expected ident", 1, 5},
    {"nnull", "expected ident", 1, 2},
    {"\xEF\xBB\xBF{}", "expected value", 1, 1},
    {"[}]", "expected value", 1, 2},
    {R"({"a":})", "expected value", 1, 6},
    {".5", "expected value", 1, 1},
    {"+1", "expected value", 1, 1},
    {"[,1]", "expected value", 1, 2},
    {R"("a\x")", "invalid escape", 1, 4},
    {R"("\u12G4")", "invalid escape", 1, 6},
    {R"("\U0041")", "invalid escape", 1, 3},
    {"\"\\\x01\"", "invalid escape", 1, 3},
    {"-a", "invalid number", 1, 2},
    {"1.x", "invalid number", 1, 3},
    {"1e-x", "invalid number", 1, 4},
    {"-.5", "invalid number", 1, 2},
    {"[1.]", "invalid number", 1, 4},
    {R"("\uDC00")", "invalid unicode code point", 1, 2},
    {R"(["ok","\uDFFF"])", "invalid unicode code point", 1, 8},
    {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string", 1, 3},
    {"\"nul\0\""sv, "control character (\\u0000-\\u001F) found while parsing a string", 1, 5},
    {"\"multi\nline\"", "control character (\\u0000-\\u001F) found while parsing a string", 1, 7},
    {"{1:2}", "key must be a string", 1, 2},
    {"{,}", "key must be a string", 1, 2},
    {R"({"a":1,2:3})", "key must be a string", 1, 8},
    {R"("\uD800\u0041")", "lone leading surrogate in hex escape", 1, 2},
    {R"(["\uDBFF\uD800"])", "lone leading surrogate in hex escape", 1, 3},
    {"[1,]", "trailing comma", 1, 4},
    {"[1, ]", "trailing comma", 1, 5},
    {R"({"a":1,})", "trailing comma", 1, 8},
    {R"("\uD800x")", "unexpected end of hex escape", 1, 8},
    {R"("\uD800\n")", "unexpected end of hex escape", 1, 9},
    {R"("\uD800")", "unexpected end of hex escape", 1, 8},
    {"1 2", "trailing characters", 1, 3},
    {"01", "trailing characters", 1, 2},
    {"-01", "trailing characters", 1, 3},
    {"{} x", "trailing characters", 1, 4},
    {"nullx", "trailing characters", 1, 5},
    {"[]]", "trailing characters", 1, 3},
    // Lines count line feeds; columns count characters, not bytes.
    {"{\n  \"a\": 1,\n  \"b\": [1, 2,]\n}", "trailing comma", 3, 14},
    {"[\"\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82\" 1]", "expected `,` or `]`", 1, 11},
    {"[\"\xd0\xbf\xd1\x80\xd0\xb8\",\n \"\xd0\xb6\" x]", "expected `,` or `]`", 2, 6},
    {"[1,\n", "EOF while parsing a value", 2, 1},
    {"[1,\r\n2 3]", "expected `,` or `]`", 2, 3},
    {"{\n\"a\"\n:\n}", "expected value", 4, 1},
    {"\n\n   {\"a\":1}\n\t x", "trailing characters", 4, 3},
};

struct TypeCase {
  std::string_view document;
  std::function<void(JsonReader&)> read;
  std::string_view message;
  int line;
  int column;
};

std::uint64_t bits_of(double d) { return std::bit_cast<std::uint64_t>(d); }

struct Point {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::string name;
};

constexpr std::string_view kPointFields[] = {"x", "y", "name"};

Point read_point(JsonReader& reader) {
  Point point;
  read_record(reader, "Point", kPointFields, [&](std::size_t field) {
    switch (field) {
      case 0:
        point.x = reader.read_i32();
        break;
      case 1:
        point.y = reader.read_i32();
        break;
      default:
        reader.read_string(point.name);
        break;
    }
  });
  return point;
}

struct Segment {
  Point from;
  Point to;
};

constexpr std::string_view kSegmentFields[] = {"from", "to"};

Segment read_segment(JsonReader& reader) {
  Segment segment;
  read_record(reader, "Segment", kSegmentFields, [&](std::size_t field) {
    (field == 0 ? segment.from : segment.to) = read_point(reader);
  });
  return segment;
}

}  // namespace

TEST(json_reader_syntax_faults_through_typed_reads) {
  for (const SyntaxCase& c : kSyntaxCases) {
    CHECK_EQ(outcome(c.document, read_any), error(c.message, c.line, c.column));
  }
}

TEST(json_reader_syntax_faults_through_skip_value) {
  for (const SyntaxCase& c : kSyntaxCases) {
    CHECK_EQ(outcome(c.document, skip_any), error(c.message, c.line, c.column));
  }
}

// Out-of-range magnitudes are a fault only where the number is read; a
// skipped value need only be well-formed.
TEST(json_reader_number_out_of_range) {
  const SyntaxCase cases[] = {
      {"1e400", "number out of range", 1, 1},
      {"[-1e400]", "number out of range", 1, 2},
      {"123456789e301", "number out of range", 1, 1},
      {"1.8e308", "number out of range", 1, 1},
      {"1e99999999999999999999999", "number out of range", 1, 1},
      {"[\n\n\n  1e400]", "number out of range", 4, 3},
  };
  for (const SyntaxCase& c : cases) {
    CHECK_EQ(outcome(c.document, read_any), error(c.message, c.line, c.column));
    CHECK_EQ(outcome(c.document, skip_any), "ok");
  }
  const std::string huge_integer = joined("1", std::string(400, '0'));
  CHECK_EQ(outcome(huge_integer, read_any), error("number out of range", 1, 1));
  CHECK_EQ(outcome(huge_integer + "e-50", read_any), error("number out of range", 1, 1));

  // Long digit strings whose exponent pulls them back: the side of the range
  // is that of the whole literal, not of its exponent alone.
  struct Case {
    std::string document;
    std::uint64_t bits;
  };
  const Case in_range[] = {
      {huge_integer + "e-500", bits_of(1e-100)},
      {joined("0.", std::string(500, '0'), "1e100"), 0},
      {joined("-0.", std::string(500, '0'), "1e100"), 0x8000000000000000},
      {joined("0.", std::string(300, '0'), "1e300"), bits_of(0.1)},
  };
  for (const Case& c : in_range) {
    JsonReader reader(c.document);
    CHECK_EQ(bits_of(reader.read_f64()), c.bits);
  }
}

TEST(json_reader_type_and_value_faults) {
  auto i32 = [](JsonReader& r) { r.read_i32(); };
  auto u64 = [](JsonReader& r) { r.read_u64(); };
  auto f64 = [](JsonReader& r) { r.read_f64(); };
  auto boolean = [](JsonReader& r) { r.read_bool(); };
  auto string = [](JsonReader& r) { r.read_string(); };
  auto second_i32 = [](JsonReader& r) {
    r.begin_array("a sequence");
    while (r.next_element()) r.read_i32();
  };
  const TypeCase cases[] = {
      {"10.0", i32, "invalid type: floating point `10.0`, expected i32", 1, 1},
      {"1e20", i32, "invalid type: floating point `1e20`, expected i32", 1, 1},
      {"-0.0", i32, "invalid type: floating point `-0.0`, expected i32", 1, 1},
      {" 2147483648", i32, "invalid value: integer `2147483648`, expected i32", 1, 2},
      {"-2147483649", i32, "invalid value: integer `-2147483649`, expected i32", 1, 1},
      {"true", i32, "invalid type: boolean `true`, expected i32", 1, 1},
      {"false", i32, "invalid type: boolean `false`, expected i32", 1, 1},
      {"null", i32, "invalid type: null, expected i32", 1, 1},
      {R"("abc")", i32, "invalid type: string \"abc\", expected i32", 1, 1},
      {R"("a\nb\u00e9")", i32, "invalid type: string \"a\nb\xc3\xa9\", expected i32", 1, 1},
      // Containers are judged by their bracket alone: the rest is never read.
      {"[1,", i32, "invalid type: sequence, expected i32", 1, 1},
      {R"({"a")", i32, "invalid type: map, expected i32", 1, 1},
      {"nulx", i32, "expected ident", 1, 4},
      {R"("ab)", i32, "EOF while parsing a string", 1, 4},
      {"-1", u64, "invalid value: integer `-1`, expected usize", 1, 1},
      {"-9223372036854775808", u64, "invalid value: integer `-9223372036854775808`, expected usize",
       1, 1},
      {"-9223372036854775809", u64,
       "invalid type: floating point `-9.223372036854776e18`, expected usize", 1, 1},
      {"18446744073709551616", u64,
       "invalid type: floating point `1.8446744073709552e19`, expected usize", 1, 1},
      {"1.5", u64, "invalid type: floating point `1.5`, expected usize", 1, 1},
      {R"("x")", f64, "invalid type: string \"x\", expected f64", 1, 1},
      {"true", f64, "invalid type: boolean `true`, expected f64", 1, 1},
      {"[]", f64, "invalid type: sequence, expected f64", 1, 1},
      {"1", boolean, "invalid type: integer `1`, expected a boolean", 1, 1},
      {"null", boolean, "invalid type: null, expected a boolean", 1, 1},
      {"-5", string, "invalid type: integer `-5`, expected a string", 1, 1},
      {"{}", string, "invalid type: map, expected a string", 1, 1},
      {"[1, \"x\"]", second_i32, "invalid type: string \"x\", expected i32", 1, 5},
      {"[\n  1,\n  true\n]", second_i32, "invalid type: boolean `true`, expected i32", 3, 3},
      {"{}", [](JsonReader& r) { r.begin_array("a sequence"); },
       "invalid type: map, expected a sequence", 1, 1},
      {"[1]", [](JsonReader& r) { r.begin_object("struct X"); },
       "invalid type: sequence, expected struct X", 1, 1},
      {"  7", [](JsonReader& r) { r.fail_invalid_type("u8"); },
       "invalid type: integer `7`, expected u8", 1, 3},
  };
  for (const TypeCase& c : cases) {
    CHECK_EQ(outcome(c.document, c.read), error(c.message, c.line, c.column));
  }
}

TEST(json_reader_integer_values) {
  struct Case {
    std::string_view document;
    std::int64_t value;
  };
  const Case i32_cases[] = {
      {"0", 0}, {"-0", 0}, {" 7 ", 7}, {"2147483647", 2147483647}, {"-2147483648", -2147483648LL},
  };
  for (const Case& c : i32_cases) {
    JsonReader reader(c.document);
    CHECK_EQ(static_cast<std::int64_t>(reader.read_i32()), c.value);
    reader.finish();
  }
  JsonReader max_u64("18446744073709551615");
  CHECK_EQ(max_u64.read_u64(), std::numeric_limits<std::uint64_t>::max());
  JsonReader zero("[0,-0]");
  zero.begin_array("a sequence");
  CHECK(zero.next_element());
  CHECK_EQ(zero.read_u64(), 0u);
  CHECK(zero.next_element());
  CHECK_EQ(zero.read_u64(), 0u);
  CHECK(!zero.next_element());
}

TEST(json_reader_float_values) {
  struct Case {
    std::string_view document;
    std::uint64_t bits;
  };
  const Case cases[] = {
      {"0", 0},
      {"-0", 0x8000000000000000},
      {"-0.0", 0x8000000000000000},
      {"1e-400", 0},
      {"-1e-400", 0x8000000000000000},
      {"1e-99999999999999999999", 0},
      {"0e999999", 0},
      {"2e-324", 0},  // below half the least denormal: rounds to zero
      {"4e-324", 1},  // above half: rounds up to the least denormal
      {"5e-324", 1},
      {"2.2250738585072011e-308", 0x000FFFFFFFFFFFFF},
      {"1.7976931348623157e308", 0x7FEFFFFFFFFFFFFF},
      {"0.1", bits_of(0.1)},
      {"0.1000000000000000055511151231257827021181583404541015625", bits_of(0.1)},
      {"9007199254740993", bits_of(9007199254740992.0)},  // integer, rounded to even
      {"-9223372036854775808", bits_of(-9223372036854775808.0)},
      {"18446744073709551616", bits_of(18446744073709551616.0)},
      {"1E2", bits_of(100.0)},
      {"1e+2", bits_of(100.0)},
      {"-2.5", bits_of(-2.5)},
      {"10.0", bits_of(10.0)},
  };
  for (const Case& c : cases) {
    JsonReader reader(c.document);
    CHECK_EQ(bits_of(reader.read_f64()), c.bits);
    reader.finish();
  }
  JsonReader null_reader(" null ");
  CHECK(std::isnan(null_reader.read_f64()));
  null_reader.finish();
}

TEST(json_reader_bool_and_string_values) {
  JsonReader booleans("[true,false]");
  booleans.begin_array("a sequence");
  CHECK(booleans.next_element());
  CHECK_EQ(booleans.read_bool(), true);
  CHECK(booleans.next_element());
  CHECK_EQ(booleans.read_bool(), false);
  CHECK(!booleans.next_element());
  JsonReader number("1");
  CHECK_THROWS_WITH(number.read_bool(), JsonReadError,
                    "invalid type: integer `1`, expected a boolean");
  CHECK_THROWS(JsonReader("[").skip_value(), JsonReadError);

  struct Case {
    std::string_view document;
    std::string_view text;
  };
  const Case cases[] = {
      {R"("")", ""},
      {R"("plain")", "plain"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u00e9\u00E9")", "\xc3\xa9\xc3\xa9"},
      {R"("\u0041\u07FF\uFFFF")", "A\xdf\xbf\xef\xbf\xbf"},
      {R"("\uD83D\uDE00")", "\xf0\x9f\x98\x80"},
      {R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},
      {R"("a\u0000b")", "a\0b"sv},
      {"\"raw \xd0\xb6 \x7f\"", "raw \xd0\xb6 \x7f"},
      {R"("mixed\tescapes and \"runs\" of text")", "mixed\tescapes and \"runs\" of text"},
  };
  for (const Case& c : cases) {
    JsonReader reader(c.document);
    std::string out = "stale";
    reader.read_string(out);
    CHECK_EQ(out, c.text);
    reader.finish();
  }
}

TEST(json_reader_offsets_of_values_keys_and_brackets) {
  const std::string_view document = R"({ "a" : [ 1 , 2 ] , "bb":{}})";
  JsonReader reader(document);
  std::string key;
  reader.begin_object("a map");
  CHECK_EQ(reader.value_start(), 0u);
  CHECK(reader.next_member(key));
  CHECK_EQ(key, "a");
  CHECK_EQ(reader.key_start(), 2u);
  reader.begin_array("a sequence");
  CHECK_EQ(reader.value_start(), 8u);
  CHECK(reader.next_element());
  CHECK_EQ(reader.read_u64(), 1u);
  CHECK_EQ(reader.value_start(), 10u);
  CHECK(reader.next_element());
  CHECK_EQ(reader.offset(), 14u);
  CHECK_EQ(reader.read_u64(), 2u);
  CHECK(!reader.next_element());
  CHECK_EQ(reader.close_offset(), 16u);
  CHECK(reader.next_member(key));
  CHECK_EQ(key, "bb");
  CHECK_EQ(reader.key_start(), 20u);
  reader.begin_object("a map");
  CHECK_EQ(reader.value_start(), 25u);
  CHECK(!reader.next_member(key));
  CHECK_EQ(reader.close_offset(), 26u);
  CHECK(!reader.next_member(key));
  CHECK_EQ(reader.close_offset(), 27u);
  reader.finish();
}

TEST(json_reader_position_and_rendering) {
  struct Case {
    std::string_view text;
    std::size_t offset;
    std::size_t line;
    std::size_t column;
  };
  const Case cases[] = {
      {"", 0, 1, 1},
      {"ab\ncd", 2, 1, 3},  // the line feed itself is on line 1
      {"ab\ncd", 3, 2, 1},
      {"\xf0\x9f\x98\x80x", 4, 1, 2},
  };
  for (const Case& c : cases) {
    const auto position = position_of(c.text, c.offset);
    CHECK_EQ(position.line, c.line);
    CHECK_EQ(position.column, c.column);
  }
  const std::string document(250, ' ');
  CHECK_EQ(render_fault(document, JsonReadError("missing field `trees`", 199)),
           R"(Error("missing field `trees`", line: 1, column: 200))");
}

TEST(json_reader_nesting_limit) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  CHECK_EQ(outcome(nested(128), read_any), "ok");
  CHECK_EQ(outcome(nested(128), skip_any), "ok");
  CHECK_EQ(outcome(nested(129), read_any), error("recursion limit exceeded", 1, 129));
  CHECK_EQ(outcome(nested(129), skip_any), error("recursion limit exceeded", 1, 129));

  std::string objects;
  for (int i = 0; i < 129; ++i) objects += R"({"a":)";
  objects += "1";
  for (int i = 0; i < 129; ++i) objects += "}";
  CHECK_EQ(outcome(objects, skip_any), error("recursion limit exceeded", 1, 641));
  CHECK_EQ(outcome(std::string_view(objects).substr(5, objects.size() - 6), skip_any), "ok");

  // Closing containers gives the depth back: many shallow ones in a row pass.
  std::string wide = "[";
  for (int i = 0; i < 1000; ++i) wide += i == 0 ? "[[]]" : ",[[]]";
  wide += "]";
  CHECK_EQ(outcome(wide, skip_any), "ok");
}

TEST(json_reader_random_float_round_trips) {
  std::mt19937_64 random(314159);
  int mismatches = 0;
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t bits = random();
    const double d = std::bit_cast<double>(bits);
    const std::string text = format_f64(d);
    JsonReader reader(text);
    const double back = reader.read_f64();
    if (std::isfinite(d) ? bits_of(back) != bits : !std::isnan(back)) ++mismatches;

    // A 32-bit field is read as a double and then rounded to float.
    const auto fbits = static_cast<std::uint32_t>(bits);
    const float f = std::bit_cast<float>(fbits);
    if (!std::isfinite(f)) continue;
    const std::string ftext = format_f32(f);
    JsonReader freader(ftext);
    const auto fback = static_cast<float>(freader.read_f64());
    if (std::bit_cast<std::uint32_t>(fback) != fbits) ++mismatches;
  }
  CHECK_EQ(mismatches, 0);
}

TEST(record_reader_accepts_both_forms) {
  const std::string_view documents[] = {
      R"({"x":1,"y":-2,"name":"a"})",
      R"( { "name" : "a" , "y" : -2 , "x" : 1 } )",
      R"({"name":"a","junk":{"deep":[1,{"z":null}],"big":1e400},"y":-2,"j":0,"j":1,"x":1})",
      R"([1,-2,"a"])",
      R"([ 1 , -2 , "a" ])",
  };
  for (std::string_view document : documents) {
    JsonReader reader(document);
    const Point point = read_point(reader);
    reader.finish();
    CHECK_EQ(point.x, 1);
    CHECK_EQ(point.y, -2);
    CHECK_EQ(point.name, "a");
  }
  JsonReader nested(R"({"to":{"x":3,"y":4,"name":"b"},"from":[1,2,"a"]})");
  const Segment segment = read_segment(nested);
  nested.finish();
  CHECK_EQ(segment.from.x, 1);
  CHECK_EQ(segment.from.name, "a");
  CHECK_EQ(segment.to.y, 4);
  CHECK_EQ(segment.to.name, "b");
}

TEST(record_reader_faults) {
  const Read point = [](JsonReader& r) { read_point(r); };
  const Read segment = [](JsonReader& r) { read_segment(r); };
  const TypeCase cases[] = {
      {R"({"x":1,"x":2,"y":2,"name":"a"})", point, "duplicate field `x`", 1, 8},
      {R"({"x":1,"name":"a"})", point, "missing field `y`", 1, 18},
      {"{}", point, "missing field `x`", 1, 2},
      {"{\n\"y\":1\n}", point, "missing field `x`", 3, 1},
      {"[1,2]", point, "invalid length 2, expected struct Point with 3 elements", 1, 5},
      {"[]", point, "invalid length 0, expected struct Point with 3 elements", 1, 2},
      {R"([1,2,"a",4])", point, "trailing characters", 1, 10},
      {R"([1,2,"a", {"q":1}])", point, "trailing characters", 1, 11},
      {R"([1,2,"a",])", point, "trailing comma", 1, 10},
      {R"([1,2,"a")", point, "EOF while parsing a list", 1, 9},
      {"5", point, "invalid type: integer `5`, expected struct Point", 1, 1},
      {R"( "p")", point, "invalid type: string \"p\", expected struct Point", 1, 2},
      {"null", point, "invalid type: null, expected struct Point", 1, 1},
      {"true", point, "invalid type: boolean `true`, expected struct Point", 1, 1},
      {R"({"x":1.5,"y":2,"name":"a"})", point, "invalid type: floating point `1.5`, expected i32",
       1, 6},
      {R"({"x":1,"y":2,"name":"a","junk":[1,}})", point, "expected value", 1, 35},
      {R"({"x":1,"y":2,"name":"a"} 3)", point, "trailing characters", 1, 26},
      {R"({"from":[1,2,"a"],"to":{"x":3,"name":"b"}})", segment, "missing field `y`", 1, 41},
      {R"({"from":[1,2,"a"]})", segment, "missing field `to`", 1, 18},
      {R"({"from":[1,2],"to":[3,4,"b"]})", segment,
       "invalid length 2, expected struct Point with 3 elements", 1, 13},
      {R"([[1,2,"a"],"to"])", segment, "invalid type: string \"to\", expected struct Point", 1, 12},
  };
  for (const TypeCase& c : cases) {
    CHECK_EQ(outcome(c.document, c.read), error(c.message, c.line, c.column));
  }
}

// The record's own object is one level; an unknown member may nest 127 more.
TEST(record_reader_skipped_member_counts_toward_nesting_limit) {
  const Read point = [](JsonReader& r) { read_point(r); };
  const auto document = [](int depth) {
    return joined(R"({"u":)", std::string(depth, '['), std::string(depth, ']'),
                  R"(,"x":1,"y":2,"name":"a"})");
  };
  CHECK_EQ(outcome(document(127), point), "ok");
  CHECK_EQ(outcome(document(128), point), error("recursion limit exceeded", 1, 133));
}
