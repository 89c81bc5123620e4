// The estimator's forest: seeded training, prediction from columns, and its
// part of the model file. Names starting with "concurrency" also run under
// ThreadSanitizer.
#include <cmath>
#include <cstring>
#include <random>
#include <string_view>

#include "check.h"
#include "core/error.h"
#include "estimator/estimator_forest.h"
#include "forest_fixtures.h"
#include "uplift_random_forest/forest_model_file.h"

using namespace corvane;

using test::text_of;

namespace {

constexpr const char* kColors[] = {"red", "green", "blue"};
constexpr int kRows = 3000;

struct Data {
  RawData raw;
  std::vector<double> x, z;
  std::vector<std::int32_t> c;
};

// Two numeric features (x with NaN now and then) and one categorical;
// treatment 1 works where x > 5.
Data data() {
  Data d;
  RawData& raw = d.raw;
  test::add_numeric(raw, "x");
  test::add_numeric(raw, "z");
  test::add_categorical(raw, "c", {kColors[0], kColors[1], kColors[2]});
  raw.max_treatment = 1;
  std::mt19937 rng(5);
  for (int r = 0; r < kRows; ++r) {
    const double x = r % 31 == 0 ? NAN : static_cast<double>(rng() % 1000) / 100.0;
    const double z = static_cast<double>(rng() % 50);
    const auto c = static_cast<std::int32_t>(rng() % 3);
    const auto t = static_cast<std::int32_t>(rng() % 2);
    d.x.push_back(x);
    d.z.push_back(z);
    d.c.push_back(c);
    raw.num_cols[0].push_back(static_cast<float>(x));
    raw.num_cols[1].push_back(static_cast<float>(z));
    raw.str_cols[0].codes.push_back(static_cast<std::uint32_t>(c));
    raw.treatment.push_back(t);
    raw.outcome.push_back(rng() % 100 < (t == 1 && x > 5 ? 60 : 25) ? 1 : 0);
  }
  return d;
}

UpliftRandomForestModel trained(const RawData& raw, std::int32_t threads, std::uint64_t seed,
                                bool honesty = false) {
  TrainingOptions options;
  options.seed = seed;
  options.in_tree_order = true;
  options.honesty = honesty;
  options.estimation_share = 0.5;
  return test::trained_forest({8, 2, 5, 20, "KL", 8}, raw, threads, options);
}

constexpr std::string_view kMember = "estimator";

std::vector<FeatureInfo> features();

// The estimator's forest of a seeded training, with its node statistics.
std::shared_ptr<const EstimatorForest> estimator(const RawData& raw, std::int32_t threads,
                                                 std::uint64_t seed, bool honesty = false) {
  TrainingOptions options;
  options.seed = seed;
  options.in_tree_order = true;
  options.honesty = honesty;
  options.estimation_share = 0.5;
  options.keep_node_stats = true;
  UpliftRandomForestModel forest = test::forest_with({8, 2, 5, 20, "KL", 8});
  test::SilentSink sink;
  FitReport report = forest.fit([&] { return raw; }, "t", "y", threads, sink, options);
  return EstimatorForest::trained(std::move(forest), features(), std::move(report.node_stats),
                                  std::move(report.node_rows));
}

std::vector<FeatureInfo> features() {
  return {{FeatureKind::kNumeric, {}},
          {FeatureKind::kNumeric, {}},
          {FeatureKind::kCategorical, {kColors[0], kColors[1], kColors[2]}}};
}

std::vector<InputColumn> columns(const Data& d) {
  return {{InputColumn::Type::kFloat64, reinterpret_cast<const char*>(d.x.data()), 8},
          {InputColumn::Type::kFloat64, reinterpret_cast<const char*>(d.z.data()), 8},
          {InputColumn::Type::kCode, reinterpret_cast<const char*>(d.c.data()), 4}};
}

}  // namespace

TEST(concurrency_seeded_training_is_the_same_for_every_thread_count) {
  const Data d = data();
  const std::string one = text_of(trained(d.raw, 1, 42));
  CHECK_EQ(text_of(trained(d.raw, 3, 42)), one);
  CHECK_EQ(text_of(trained(d.raw, 8, 42)), one);
  CHECK(text_of(trained(d.raw, 3, 43)) != one);
}

TEST(concurrency_column_prediction_is_the_row_walk_bit_for_bit) {
  const Data d = data();
  const auto forest = estimator(d.raw, 2, 7);
  const auto routing = forest->forest().routing();
  RowBatch rows(routing->layout(), kRows, 3);
  for (int r = 0; r < kRows; ++r) {
    rows.begin_row();
    rows.add_number(static_cast<float>(d.x[r]));
    rows.add_number(static_cast<float>(d.z[r]));
    rows.add_text(kColors[d.c[r]]);
    rows.end_row();
  }
  const Predictions expected = forest->forest().predict_rows(*routing, rows, 1);
  const std::vector<InputColumn> input = columns(d);
  for (std::int32_t threads : {1, 3, -1}) {
    std::vector<double> mean(kRows), spread(kRows);
    forest->predict(input, kRows, threads, {mean.data(), spread.data()});
    bool same = true, spread_right = true;
    for (int r = 0; r < kRows; ++r) {
      same = same && std::memcmp(&mean[r], expected.row(r).data(), sizeof(double)) == 0;
      // The spread by hand: each tree's leaf for the row, around the mean.
      double acc = 0.0;
      for (const UpliftTreeModel& tree : forest->forest().trees()) {
        const TreeWalk& walk = routing->walk(&tree - forest->forest().trees().data());
        const double v = walk.leaf_values(walk.route_exact(tree, rows.row(r)))[0];
        acc = (v - mean[r]) * (v - mean[r]) + acc;
      }
      spread_right = spread_right && spread[r] == std::sqrt(acc / 8.0);
    }
    CHECK(same);
    CHECK(spread_right);
  }
}

TEST(estimator_file_round_trip_keeps_everything) {
  const Data d = data();
  const auto forest = estimator(d.raw, 2, 7);
  CHECK(forest->has_counts());
  const std::string text = forest->text(R"({"format":2,"note":"a \"quoted\" word"})", kMember);
  const EstimatorForest::Read read = EstimatorForest::from_text(text, kMember);
  CHECK(read.fields.has_value());
  CHECK_EQ(*read.fields, R"({"format":2,"note":"a \"quoted\" word"})");
  CHECK_EQ(read.forest->text(*read.fields, kMember), text);
  CHECK(read.forest->features()[2].categories == features()[2].categories);
  // The extension's own reader skips the estimator's part.
  CHECK_EQ(text_of(forest_from_json(text)), text_of(forest->forest()));
}

TEST(estimator_file_damaged_parts_are_named) {
  const Data d = data();
  const auto forest = estimator(d.raw, 2, 7);
  const std::string text = forest->text("{}", kMember);
  auto refused = [&](std::string_view from, std::string_view to) {
    std::string damaged = text;
    damaged.replace(damaged.find(from), from.size(), to);
    try {
      EstimatorForest::from_text(damaged, kMember);
    } catch (const Error& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  CHECK_EQ(refused(R"("kind":"numeric")", R"("kind":3)"),
           "the estimator's part of the model file is damaged: a feature's \"kind\" is no "
           "string");
  CHECK_EQ(refused(R"("node_counts":[[)", R"("node_counts":[[7,)"),
           "the estimator's part of the model file is damaged: the \"node_counts\" of tree 0 do "
           "not match its nodes");
  CHECK_EQ(refused(R"("node_counts":[[)", R"("node_counts":[[-1,)"),
           "the estimator's part of the model file is damaged: a node count is negative");
}

TEST(honest_leaves_count_their_estimation_rows) {
  const Data d = data();
  const auto forest = estimator(d.raw, 2, 9, true);
  std::int32_t n0 = 0;
  for (std::int32_t t : d.raw.treatment) n0 += t == 0;
  const std::int32_t n1 = kRows - n0;
  const std::vector<UpliftTreeModel>& trees = forest->forest().trees();
  for (std::size_t t = 0; t < trees.size(); ++t) {
    const NodeArray& nodes = trees[t].nodes;
    const auto& stats = std::get<std::vector<BinaryStats>>(forest->node_stats(t));
    const std::uint32_t root = nodes.root();
    // Half of each group, rounded half up.
    CHECK_EQ(stats[2 * root].n, (n0 + 1) / 2);
    CHECK_EQ(stats[2 * root + 1].n, (n1 + 1) / 2);
    std::int32_t leaf_rows = 0;
    for (std::uint32_t k = 0; k < nodes.stored(); ++k)
      if (nodes.node(k).is_leaf()) leaf_rows += stats[2 * k].n + stats[2 * k + 1].n;
    // Leaves falling back to an ancestor's rows count them again in their
    // statistics; the rows that reached them split the root's exactly.
    CHECK(leaf_rows >= stats[2 * root].n + stats[2 * root + 1].n);
    std::uint64_t reached = 0;
    for (std::uint32_t k = 0; k < nodes.stored(); ++k)
      if (nodes.node(k).is_leaf()) reached += forest->node_rows(t, k);
    CHECK_EQ(reached, forest->node_rows(t, root));
    CHECK_EQ(forest->node_rows(t, root), static_cast<std::uint64_t>((n0 + 1) / 2 + (n1 + 1) / 2));
  }
}
