// A record as a table of fields: the table's order is the written order and
// that of the array form, each field's own reader and writer are the ones
// used, and members the table does not name are offered to the caller.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "model_file/json_reader.h"
#include "model_file/json_writer.h"
#include "model_file/record_table.h"

namespace {

using corvane::model_file::JsonReader;
using corvane::model_file::JsonReadError;
using corvane::model_file::JsonWriter;
using corvane::model_file::member;
using corvane::model_file::RecordField;

struct Sample {
  std::uint64_t count = 0;
  std::string label;
  std::vector<double> values;
  int doubled = 0;  // written as twice its value, by a field of its own
};

constexpr std::array<RecordField<Sample>, 4> kSampleFields = {{
    member<&Sample::count>("count"),
    member<&Sample::label>("label"),
    member<&Sample::values>("values"),
    {"twice", [](JsonWriter& out, const Sample& s) { out.value_i64(2 * s.doubled); },
     [](JsonReader& in, Sample& s) { s.doubled = in.read_i32() / 2; }},
}};

std::string text_of(const Sample& sample) {
  std::string text;
  JsonWriter out(text);
  corvane::model_file::write_record(out, sample, kSampleFields);
  return text;
}

}  // namespace

TEST(record_table_writes_in_table_order_and_reads_either_form) {
  const Sample sample{3, "a", {0.5, -1.0}, 7};
  CHECK_EQ(text_of(sample), R"({"count":3,"label":"a","values":[0.5,-1.0],"twice":14})");

  struct Form {
    const char* text;
    std::vector<std::string> unknown;
  };
  const Form forms[] = {
      {R"({"twice":14,"extra":[1],"values":[0.5,-1.0],"label":"a","count":3})", {"extra"}},
      {R"([3,"a",[0.5,-1.0],14])", {}},
  };
  for (const Form& form : forms) {
    JsonReader in(form.text);
    Sample read;
    std::vector<std::string> offered;
    corvane::model_file::read_record(in, "Sample", kSampleFields, read,
                                     [&](const std::string& key) {
                                       offered.push_back(key);
                                       return false;  // skipped
                                     });
    in.finish();
    CHECK_EQ(text_of(read), text_of(sample));
    CHECK(offered == form.unknown);
  }
}

TEST(record_table_names_its_fields_in_faults) {
  JsonReader in(R"({"count":3,"label":"a","twice":2})");
  Sample read;
  CHECK_THROWS_WITH(corvane::model_file::read_record(in, "Sample", kSampleFields, read),
                    JsonReadError, "missing field `values`");
  JsonReader short_array(R"([3,"a"])");
  CHECK_THROWS_WITH(corvane::model_file::read_record(short_array, "Sample", kSampleFields, read),
                    JsonReadError, "invalid length 2, expected struct Sample with 4 elements");
}
