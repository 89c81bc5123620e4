// The histogram finder's pieces: histograms that add up and subtract, bin
// codes that route rows as their float thresholds do, the in-place partition
// of a node's rows, and seeded histogram training on any number of threads
// (names starting with "concurrency" also run under ThreadSanitizer).
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.h"
#include "forest_fixtures.h"
#include "model_file/output_sink.h"
#include "uplift_random_forest/forest_model_file.h"
#include "uplift_tree/binning.h"
#include "uplift_tree/histogram.h"
#include "uplift_tree/row_partition.h"

using namespace corvane;

using test::text_of;

namespace {

struct Label {
  std::int8_t outcome;
  std::uint8_t group;
};

bool same(const Histogram<BinaryStats>& a, const Histogram<BinaryStats>& b) {
  if (a.bins() != b.bins() || a.groups() != b.groups()) return false;
  for (std::size_t i = 0; i < a.cells().size(); ++i)
    if (a.cells()[i].n != b.cells()[i].n || a.cells()[i].y != b.cells()[i].y) return false;
  return true;
}

}  // namespace

TEST(histogram_subtraction_equals_direct_counting) {
  RawData raw;
  raw.max_treatment = 2;
  std::mt19937 rng(3);
  std::vector<std::uint8_t> codes;
  for (int r = 0; r < 2000; ++r) {
    codes.push_back(static_cast<std::uint8_t>(rng() % 12));
    raw.treatment.push_back(static_cast<std::int32_t>(rng() % 3));
    raw.outcome.push_back(static_cast<std::int8_t>(rng() % 2));
  }
  // A node of every third row, split at random into a child and the rest.
  std::vector<std::uint32_t> node, child, rest;
  for (std::uint32_t r = 0; r < 2000; r += 3) {
    node.push_back(r);
    (rng() % 4 == 0 ? child : rest).push_back(r);
  }
  Histogram<BinaryStats> whole(12, 3), part(12, 3), others(12, 3);
  whole.count(raw, codes.data(), node);
  part.count(raw, codes.data(), child);
  others.count(raw, codes.data(), rest);

  Histogram<BinaryStats> difference = whole;
  difference.subtract(part);
  CHECK(same(difference, others));
  Histogram<BinaryStats> sum = part;
  sum.merge(others);
  CHECK(same(sum, whole));

  // Counted from labels beside the rows, as the finder does: the same.
  std::vector<Label> labels;
  for (std::uint32_t r : node)
    labels.push_back({raw.outcome[r], static_cast<std::uint8_t>(raw.treatment[r])});
  Histogram<BinaryStats> labelled(12, 3);
  labelled.count(codes.data(), std::span<const std::uint32_t>(node), labels.data());
  CHECK(same(labelled, whole));
  // And by hand: bin 5 of group 1.
  std::int32_t n = 0, y = 0;
  for (std::uint32_t r : node)
    if (codes[r] == 5 && raw.treatment[r] == 1) n += 1, y += raw.outcome[r];
  CHECK_EQ(whole.bin(5)[1].n, n);
  CHECK_EQ(whole.bin(5)[1].y, y);
}

TEST(bin_codes_route_rows_as_their_thresholds_do) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> values = {-inf, -2.5f, -0.0f, 0.0f, 1.0f, 1.0f, 1.0f,  2.0f,   3.5f,
                               7.0f, 7.0f,  inf,   inf,  nan,  nan,  1e30f, -1e-30f};
  std::mt19937 rng(9);
  for (int i = 0; i < 500; ++i) values.push_back(static_cast<float>(rng() % 1000) / 37.0f);
  for (std::uint64_t bins : {2, 5, 64, 255, 1000}) {
    const BinnedColumn column = bin_numbers(values, bins);
    CHECK(column.thresholds.size() < std::min<std::uint64_t>(bins, kMaxBins));
    for (float t : column.thresholds) CHECK(std::isfinite(t));
    for (std::size_t r = 0; r < values.size(); ++r) {
      const std::size_t code = column.codes[r];
      if (std::isnan(values[r])) CHECK_EQ(code, column.thresholds.size());
      for (std::size_t j = 0; j < column.thresholds.size(); ++j)
        CHECK_EQ(values[r] <= column.thresholds[j], code <= j);
    }
  }
}

TEST(partition_keeps_both_sides_in_order_with_their_labels) {
  for (int left_every : {2, 3, 7}) {  // left sides larger and smaller than the right
    std::vector<std::uint32_t> rows;
    std::vector<std::uint32_t> extra;
    for (std::uint32_t r = 0; r < 1000; ++r) {
      rows.push_back(3 * r);
      extra.push_back(3 * r + 1);
    }
    auto left = [&](std::uint32_t r) { return (r / 3) % left_every != 0; };
    std::vector<std::uint32_t> expected;
    for (std::uint32_t r : rows)
      if (left(r)) expected.push_back(r);
    const std::size_t n_left = expected.size();
    for (std::uint32_t r : rows)
      if (!left(r)) expected.push_back(r);
    partition_rows(std::span<std::uint32_t>(rows), std::span<std::uint32_t>(extra), n_left, left,
                   [](std::uint32_t) {});
    CHECK(rows == expected);
    for (std::size_t i = 0; i < rows.size(); ++i) CHECK_EQ(extra[i], rows[i] + 1);
    CHECK_THROWS(
        partition_rows(std::span<std::uint32_t>(rows), n_left + 1, left, [](std::uint32_t) {}),
        Error);
  }
}

TEST(concurrency_histogram_training_is_the_same_for_every_thread_count) {
  RawData raw;
  test::add_numeric(raw, "x");
  test::add_categorical(raw, "c", {"a", "b", "c", "d"});
  test::add_numeric(raw, "z");
  raw.max_treatment = 2;
  std::mt19937 rng(11);
  for (int r = 0; r < 6000; ++r) {
    const float x = r % 29 == 0 ? NAN : static_cast<float>(rng() % 1000) / 10.0f;
    raw.num_cols[0].push_back(x);
    raw.num_cols[1].push_back(static_cast<float>(rng() % 20));
    raw.str_cols[0].codes.push_back(static_cast<std::uint32_t>(rng() % 4));
    const auto t = static_cast<std::int32_t>(rng() % 3);
    raw.treatment.push_back(t);
    raw.outcome.push_back(rng() % 100 < (t > 0 && x > 40 ? 50 : 20) ? 1 : 0);
  }
  // Binned beforehand (as the estimator's binding does) or by the finder.
  RawData binned = raw;
  binned.num_cols.clear();
  for (const std::vector<float>& values : raw.num_cols)
    binned.bin_cols.push_back(bin_numbers(values, 32));
  for (std::uint64_t max_samples : {0, 2500}) {
    for (bool honesty : {false, true}) {
      TrainingOptions options;
      options.seed = 5;
      options.in_tree_order = true;
      options.splitter = "hist";
      options.max_samples = max_samples;
      options.honesty = honesty;
      const test::ForestSettings settings{10, 2, 6, 30, "ED", 32};
      const std::string one = text_of(test::trained_forest(settings, raw, 1, options));
      CHECK_EQ(text_of(test::trained_forest(settings, raw, 4, options)), one);
      CHECK_EQ(text_of(test::trained_forest(settings, binned, 8, options)), one);
    }
  }
}
