// The tree walk alone, without Python: the serving case of predict_bench.py
// (50 trees of max_depth 10 trained on 200,000 rows of 20 numeric and 2
// categorical features, predicting 100,000 rows), timed with 1 thread and
// with every available processor. Row conversion is not part of it, so the
// figures show how the walk itself scales.
//
// With a model file (one of the estimator's, for instance), that forest is
// walked instead of one trained here, over the same rows: its features must
// be those of the serving case.
//
// Usage: walk_bench [repeats] [model.json]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "concurrency/processors.h"
#include "forest_fixtures.h"
#include "uplift_random_forest/forest.h"
#include "uplift_random_forest/forest_model_file.h"

using namespace corvane;

namespace {

constexpr int kNumeric = 20;
constexpr int kTrainRows = 200'000;
constexpr int kPredictRows = 100'000;
const char* const kK0[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
const char* const kK1[] = {"north", "south", "east", "west"};

// The shape and the effects of the Python benchmarks' serving data.
RawData serving_data() {
  RawData raw;
  for (int c = 0; c < kNumeric; ++c) {
    std::string name = "n";  // not "n" + ...: GCC 12 warns of a false overlap there
    name += std::to_string(c);
    test::add_numeric(raw, std::move(name));
  }
  test::add_categorical(raw, "k0", {std::begin(kK0), std::end(kK0)});
  test::add_categorical(raw, "k1", {std::begin(kK1), std::end(kK1)});
  raw.max_treatment = 2;
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int r = 0; r < kTrainRows; ++r) {
    for (auto& col : raw.num_cols) col.push_back(unit(rng));
    const std::uint32_t k0 = static_cast<std::uint32_t>(rng() % 10);
    const std::uint32_t k1 = static_cast<std::uint32_t>(rng() % 4);
    raw.str_cols[0].codes.push_back(k0);
    raw.str_cols[1].codes.push_back(k1);
    const std::int32_t t = static_cast<std::int32_t>(rng() % 3);
    raw.treatment.push_back(t);
    float p = 0.1f + 0.1f * raw.num_cols[0].back() + 0.05f * raw.num_cols[1].back();
    if (t == 1 && raw.num_cols[2].back() > 0.4f) p += 0.1f + 0.1f * raw.num_cols[3].back();
    if (t == 2 && k0 < 4) p += k1 == 0 ? 0.1f : 0.05f;
    raw.outcome.push_back(unit(rng) < p ? 1 : 0);
  }
  return raw;
}

double seconds(const auto& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 15;
  const RawData raw = serving_data();
  UpliftRandomForestModel forest;
  if (argc > 2) {
    forest = load_model_file(argv[2]);
  } else {
    forest = test::trained_forest({50, 5, 10, 100, "ED", 10}, raw, -1);
  }

  const auto routing = forest.routing();
  RowBatch rows(routing->layout(), kPredictRows, kNumeric + 2);
  for (int r = 0; r < kPredictRows; ++r) {
    rows.begin_row();
    for (int c = 0; c < kNumeric; ++c) rows.add_number(raw.num_cols[c][r]);
    rows.add_text(kK0[raw.str_cols[0].codes[r]]);
    rows.add_text(kK1[raw.str_cols[1].codes[r]]);
    rows.end_row();
  }
  const double per = 1e9 / (static_cast<double>(kPredictRows) * forest.trees().size());
  // Alternated, so that both see the same moments of a shared machine.
  double one = 1e300, all = 1e300;
  for (int i = 0; i < repeats; ++i) {
    one = std::min(one, seconds([&] { forest.predict_rows(*routing, rows, 1); }));
    all = std::min(all, seconds([&] { forest.predict_rows(*routing, rows, -1); }));
  }
  std::printf("walk, %zu trees of max_depth %llu, %d rows (best of %d):\n", forest.trees().size(),
              static_cast<unsigned long long>(forest.max_depth), kPredictRows, repeats);
  std::printf("n_threads  1: %.1f ns per row and tree\n", one * per);
  std::printf("n_threads -1: %.1f ns per row and tree (%d processors), %.2fx\n", all * per,
              available_processors(), one / all);
  return 0;
}
