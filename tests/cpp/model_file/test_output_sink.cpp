#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "model_file/json_writer.h"
#include "model_file/output_sink.h"
#include "model_file/utf8.h"

using corvane::model_file::CountingSink;
using corvane::model_file::JsonWriter;
using corvane::model_file::OutputSink;
using corvane::model_file::scan_utf8_prefix;

namespace {

// Hands on in pieces of at most 7 bytes, so that every path through the
// buffer (fits, flush then fits, larger than the buffer) is taken.
class TinyBufferSink final : public OutputSink {
 public:
  explicit TinyBufferSink(std::string& out) : OutputSink(buffer_, sizeof buffer_), out_(out) {}

 protected:
  void drain(const char* data, std::size_t size) override { out_.append(data, size); }

 private:
  char buffer_[7];
  std::string& out_;
};

void write_sample(OutputSink& sink, std::uint64_t run) {
  JsonWriter w(sink);
  w.begin_object();
  w.key("runs");
  w.begin_array();
  w.value_raw_repeated("{\"a\":1}", run);
  w.value_f64(0.1);
  w.value_raw_repeated("[]", 1);
  w.value_raw_repeated("[]", 0);
  w.value_string("a long string that does not fit in the buffer at all");
  w.end_array();
  w.end_object();
  sink.flush();
}

}  // namespace

TEST(output_sink_buffering_and_counting_agree_with_the_text) {
  for (std::uint64_t run : {0u, 1u, 2u, 5u}) {
    std::string whole;
    JsonWriter direct(whole);
    std::string expected = "{\"runs\":[";
    for (std::uint64_t i = 0; i < run; ++i) expected += i == 0 ? "{\"a\":1}" : ",{\"a\":1}";
    expected += std::string(run == 0 ? "" : ",") +
                "0.1,[],\"a long string that does not fit in the buffer at all\"]}";

    std::string pieces;
    TinyBufferSink tiny(pieces);
    write_sample(tiny, run);
    CHECK_EQ(pieces, expected);

    CountingSink counter;
    write_sample(counter, run);
    CHECK(!counter.overflowed());
    CHECK_EQ(counter.bytes(), static_cast<std::uint64_t>(expected.size()));
  }
}

TEST(counting_sink_measures_runs_without_producing_them_and_saturates) {
  CountingSink counter;
  JsonWriter w(counter);
  w.begin_array();
  w.value_raw_repeated("{}", std::uint64_t{1} << 40);
  w.end_array();
  counter.flush();
  CHECK(!counter.overflowed());
  CHECK_EQ(counter.bytes(), 3 * (std::uint64_t{1} << 40) - 1 + 2);

  w.begin_array();
  w.value_raw_repeated("{}", UINT64_MAX / 2);
  w.end_array();
  counter.flush();
  CHECK(counter.overflowed());
  CHECK_EQ(counter.bytes(), UINT64_MAX);
}

TEST(utf8_prefix_tells_cut_characters_from_faults) {
  struct Case {
    std::string_view text;
    std::size_t complete;
    bool invalid;
  };
  const Case cases[] = {
      {"", 0, false},
      {"abc", 3, false},
      {"ab\xd0", 2, false},          // first byte of a two-byte character
      {"ab\xe2\x82", 2, false},      // two of three bytes
      {"ab\xf0\x9f\x98", 2, false},  // three of four bytes
      {"ab\xd0\xb2", 4, false},      // whole
      {"ab\xff", 2, true},           // never UTF-8
      {"ab\xc0", 2, true},           // overlong lead
      {"ab\xe0\x80", 2, true},       // overlong, seen at the second byte
      {"ab\xed\xa0", 2, true},       // surrogate, seen at the second byte
      {"ab\xf4\x90", 2, true},       // past U+10FFFF
      {"ab\xe2"
       "a",
       2, true},  // cut by an ASCII byte
      {"0123456789\xd0\xb2xyz\x80", 15, true},
  };
  for (const Case& c : cases) {
    const auto scan = scan_utf8_prefix(c.text);
    CHECK_EQ(scan.complete, c.complete);
    CHECK_EQ(scan.invalid, c.invalid);
  }
}
