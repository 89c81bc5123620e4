#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "check.h"
#include "model_file/json_reader.h"
#include "model_file/json_writer.h"

using corvane::model_file::append_json_string;
using corvane::model_file::JsonReader;
using corvane::model_file::JsonWriter;
using namespace std::string_view_literals;

namespace {

struct EscapeCase {
  std::string_view text;
  std::string_view json;
};

std::string quoted(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

TEST(json_string_escapes) {
  const EscapeCase cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\x01", R"("\u0001")"},
      {"\x0b", R"("\u000b")"},
      {"\x1f", R"("\u001f")"},
      {"nul\0byte"sv, R"("nul\u0000byte")"},
      {"/", R"("/")"},
      {"\x7f", "\"\x7f\""},
      {"\xd0\xbf\xd1\x80\xd0\xb8", "\"\xd0\xbf\xd1\x80\xd0\xb8\""},  // Cyrillic, raw
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      {"line\nwith \"quote\"", R"("line\nwith \"quote\"")"},
      {"\"\"\\\\", R"("\"\"\\\\")"},
      {"end\x1e", R"("end\u001e")"},
  };
  for (const EscapeCase& c : cases) CHECK_EQ(quoted(c.text), c.json);
}

TEST(json_writer_untrained_forest_document) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("n_estimators");
  w.value_i64(10);
  w.key("max_features");
  w.value_u64(3);
  w.key("max_depth");
  w.value_u64(5);
  w.key("min_sample_leaf");
  w.value_u64(100);
  w.key("eval_func");
  w.value_string("ED");
  w.key("max_bins");
  w.value_u64(10);
  w.key("treatment_col");
  w.value_string("");
  w.key("outcome_col");
  w.value_string("");
  w.key("balance");
  w.value_bool(true);
  w.key("regularization");
  w.value_bool(false);
  w.key("alpha");
  w.value_f64(0.5);
  w.key("trees");
  w.begin_array();
  w.end_array();
  w.end_object();
  CHECK_EQ(out, R"({"n_estimators":10,"max_features":3,"max_depth":5,"min_sample_leaf":100,)"
                R"("eval_func":"ED","max_bins":10,"treatment_col":"","outcome_col":"",)"
                R"("balance":true,"regularization":false,"alpha":0.5,"trees":[]})");
}

TEST(json_writer_nested_containers_and_separators) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  w.begin_object();
  w.key("col_name");
  w.value_string("");
  w.key("col_idx");
  w.value_i64(-1);
  w.key("split_value");
  w.begin_object();
  w.key("Numeric");
  w.value_f32(0.0f);
  w.end_object();
  w.key("prob");
  w.begin_array();
  w.end_array();
  w.key("gain");
  w.value_f64(0.0);
  w.end_object();
  w.begin_object();
  w.end_object();
  w.begin_array();
  w.value_f64(std::numeric_limits<double>::quiet_NaN());
  w.value_f64(-std::numeric_limits<double>::infinity());
  w.value_f32(0.1f);
  w.value_raw(R"({"Str":"red"})");
  w.begin_array();
  w.end_array();
  w.end_array();
  w.value_bool(false);
  w.end_array();
  CHECK_EQ(out,
           R"([{"col_name":"","col_idx":-1,"split_value":{"Numeric":0.0},"prob":[],"gain":0.0},)"
           R"({},[null,null,0.1,{"Str":"red"},[]],false])");
}

TEST(json_writer_integer_limits) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  w.value_i64(std::numeric_limits<std::int64_t>::min());
  w.value_i64(std::numeric_limits<std::int64_t>::max());
  w.value_u64(std::numeric_limits<std::uint64_t>::max());
  w.value_u64(0);
  w.value_i64(0);
  w.end_array();
  CHECK_EQ(out, "[-9223372036854775808,9223372036854775807,18446744073709551615,0,0]");
}

TEST(json_writer_top_level_scalar_and_appending) {
  std::string out = "prefix:";
  JsonWriter w(out);
  w.value_string("a\tb");
  CHECK_EQ(out, R"(prefix:"a\tb")");
}

// Whatever the writer makes of a string, the reader must give back the same
// bytes; the random texts lean on the characters that need escaping.
TEST(json_string_random_round_trips_through_reader) {
  std::mt19937 random(99);
  const std::uint32_t special[] = {0x00, 0x08, 0x09, 0x0A, 0x0C, 0x0D,
                                   0x1F, 0x22, 0x5C, 0x7F, 0x2F};
  std::uniform_int_distribution<int> kind(0, 3);
  std::uniform_int_distribution<std::uint32_t> ascii(0x00, 0x7F);
  std::uniform_int_distribution<std::uint32_t> bmp(0x80, 0xD7FF);
  std::uniform_int_distribution<std::uint32_t> astral(0x10000, 0x10FFFF);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(special) - 1);
  std::uniform_int_distribution<int> length(0, 40);
  int mismatches = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int n = length(random);
    for (int j = 0; j < n; ++j) {
      switch (kind(random)) {
        case 0:
          append_utf8(text, special[pick(random)]);
          break;
        case 1:
          append_utf8(text, ascii(random));
          break;
        case 2:
          append_utf8(text, bmp(random));
          break;
        default:
          append_utf8(text, astral(random));
          break;
      }
    }
    const std::string json = quoted(text);
    JsonReader reader(json);
    const std::string back = reader.read_string();
    reader.finish();
    if (back != text) ++mismatches;
    // Nothing but the listed escapes may appear: no raw control bytes.
    for (char c : json) {
      if (static_cast<unsigned char>(c) < 0x20) ++mismatches;
    }
  }
  CHECK_EQ(mismatches, 0);
}
