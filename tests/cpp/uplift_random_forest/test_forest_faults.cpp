// The forest's failure paths, with faults injected where the calling thread
// meets the outside: the progress sink and the data set builder. Whatever
// fails, fit returns only after every thread it started has ended, and the
// forest holds the trees it announced and nothing half-built. Names start
// with "concurrency" so that the ThreadSanitizer run covers them too.
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "core/error.h"
#include "forest_fixtures.h"
#include "uplift_random_forest/forest.h"

using namespace corvane;

namespace {

struct SinkFault {};

// Records every line; throws on the `fail_on`-th "Tree [...]" line (0: never).
class RecordingSink : public ProgressSink {
 public:
  explicit RecordingSink(int fail_on = 0) : fail_on_(fail_on) {}
  void print(std::string_view line) override {
    lines.emplace_back(line);
    if (line.starts_with("Tree [") && ++trees_ == fail_on_) throw SinkFault{};
  }
  std::vector<std::string> lines;

 private:
  int fail_on_;
  int trees_ = 0;
};

// 40 rows, one numeric feature, control and one treatment group.
RawData small_data(std::int32_t max_treatment = 1) {
  RawData raw;
  test::add_numeric(raw, "x");
  raw.max_treatment = max_treatment;
  for (int r = 0; r < 40; ++r) {
    raw.num_cols[0].push_back(static_cast<float>(r % 8));
    raw.treatment.push_back(max_treatment == 0 ? 0 : r % 2);
    raw.outcome.push_back(r % 3 == 0 ? 1 : 0);
  }
  return raw;
}

RawData data() { return small_data(); }

UpliftRandomForestModel small_forest() { return test::forest_with({6, 1, 3, 2, "ED", 4}); }

}  // namespace

TEST(concurrency_forest_fit_progress_fault_keeps_the_announced_trees) {
  UpliftRandomForestModel forest = small_forest();
  RecordingSink failing(2);
  CHECK_THROWS(forest.fit(data, "t", "y", 2, failing), SinkFault);
  CHECK_EQ(forest.trees().size(), std::size_t{2});
  CHECK(failing.lines ==
        (std::vector<std::string>{"Start training with 2 threads...", "Tree [1] is finished!",
                                  "Tree [2] is finished!"}));
  // The forest stays usable: the next fit appends and counts on from 2.
  RecordingSink sink;
  forest.fit(data, "t", "y", 2, sink);
  CHECK_EQ(forest.trees().size(), std::size_t{8});
  CHECK_EQ(sink.lines.back(), std::string("Tree [8] is finished!"));
}

TEST(concurrency_forest_fit_data_fault_leaves_the_trees) {
  UpliftRandomForestModel forest = small_forest();
  RecordingSink sink;
  forest.fit(data, "t", "y", 2, sink);
  CHECK_EQ(forest.trees().size(), std::size_t{6});

  // The builder fails before anything starts: no line, no thread, no tree.
  RecordingSink after;
  auto no_data = []() -> RawData { throw std::runtime_error("no data"); };
  CHECK_THROWS_WITH(forest.fit(no_data, "t2", "y2", 2, after), std::runtime_error, "no data");
  CHECK(after.lines.empty());
  CHECK_EQ(forest.trees().size(), std::size_t{6});

  // A fault inside every tree's growth (no treatment group to compare):
  // the call stops with the training thread's message and keeps no new tree.
  CHECK_THROWS_WITH(forest.fit([] { return small_data(0); }, "t", "y", 2, after), Error,
                    "assertion failed: v.len() % 2 == 0 && v.len() >= 4");
  CHECK_EQ(forest.trees().size(), std::size_t{6});
}
