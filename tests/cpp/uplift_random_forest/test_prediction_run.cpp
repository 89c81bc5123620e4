// Prediction threads that walk rows while the batch is still being filled.
// Names start with "concurrency" so that the ThreadSanitizer run covers them.
#include <cstring>
#include <random>
#include <string_view>

#include "check.h"
#include "core/error.h"
#include "forest_fixtures.h"
#include "uplift_random_forest/forest.h"
#include "uplift_random_forest/prediction_run.h"

using namespace corvane;

namespace {

constexpr const char* kColors[] = {"red", "green", "blue"};

// Two numeric features and one categorical, control and one treatment.
UpliftRandomForestModel trained_forest() {
  RawData raw;
  test::add_numeric(raw, "x");
  test::add_numeric(raw, "z");
  test::add_categorical(raw, "c", {kColors[0], kColors[1], kColors[2]});
  raw.max_treatment = 1;
  std::mt19937 rng(5);
  for (int r = 0; r < 2000; ++r) {
    raw.num_cols[0].push_back(static_cast<float>(rng() % 1000) / 100.0f);
    raw.num_cols[1].push_back(static_cast<float>(rng() % 50));
    raw.str_cols[0].codes.push_back(static_cast<std::uint32_t>(rng() % 3));
    raw.treatment.push_back(static_cast<std::int32_t>(rng() % 2));
    raw.outcome.push_back(rng() % 3 == 0 ? 1 : 0);
  }
  return test::trained_forest({8, 2, 6, 20, "ED", 8}, raw, 2);
}

void add_row(RowBatch& batch, int r) {
  batch.begin_row();
  batch.add_number(static_cast<float>(r % 997) / 99.0f);
  batch.add_number(static_cast<float>(r % 53));
  batch.add_text(kColors[r % 3]);
  batch.end_row();
}

}  // namespace

TEST(concurrency_prediction_run_walks_rows_as_they_are_added) {
  const UpliftRandomForestModel forest = trained_forest();
  const auto routing = forest.routing();
  constexpr int kRows = 5000;
  RowBatch whole(routing->layout(), kRows, 3);
  for (int r = 0; r < kRows; ++r) add_row(whole, r);
  const Predictions expected = forest.predict_rows(*routing, whole, 1);

  RowBatch batch(routing->layout(), kRows, 3);
  std::unique_ptr<PredictionRun> run;
  for (int r = 0; r < kRows; ++r) {
    add_row(batch, r);
    if (r == 99) run = forest.start_prediction(*routing, batch, kRows, 3);
    if (run && r % 100 == 99) run->publish(static_cast<std::size_t>(r) + 1);
  }
  CHECK(run != nullptr);
  const Predictions got = run->finish();
  CHECK_EQ(got.size(), expected.size());
  bool same = true;
  for (std::size_t i = 0; i < got.size(); ++i) {
    same = same && got.row(i).size() == expected.row(i).size() &&
           std::memcmp(got.row(i).data(), expected.row(i).data(),
                       got.row(i).size() * sizeof(double)) == 0;
  }
  CHECK(same);
}

TEST(concurrency_prediction_run_abandoned_midway_ends_its_threads) {
  const UpliftRandomForestModel forest = trained_forest();
  const auto routing = forest.routing();
  RowBatch batch(routing->layout(), 4000, 3);
  for (int r = 0; r < 1500; ++r) add_row(batch, r);
  auto run = forest.start_prediction(*routing, batch, 4000, 4);
  CHECK(run != nullptr);
  run->publish(1500);
  run.reset();  // the rows after 1500 never come: the walkers must not wait for them
}

TEST(concurrency_prediction_run_is_not_started_where_it_cannot_help) {
  const UpliftRandomForestModel forest = trained_forest();
  const auto routing = forest.routing();
  RowBatch batch(routing->layout(), 4000, 3);
  add_row(batch, 0);
  CHECK(forest.start_prediction(*routing, batch, 4000, 1) == nullptr);
  CHECK(forest.start_prediction(*routing, batch, 4000, 0) == nullptr);
  CHECK(forest.start_prediction(*routing, batch, 300, 4) == nullptr);  // one chunk of rows
  // A first row of the wrong length fails, so it is left to predict_rows.
  RowBatch short_rows(routing->layout(), 4000, 3);
  short_rows.begin_row();
  short_rows.add_number(1.0f);
  short_rows.end_row();
  CHECK(forest.start_prediction(*routing, short_rows, 4000, 4) == nullptr);
}
