// Training of the forest: T training threads take tickets and grow whole
// trees, all sharing one data set and one worker pool for their split
// searches; the calling thread collects finished trees and prints progress.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "concurrency/channel.h"
#include "concurrency/processors.h"
#include "concurrency/thread_pool.h"
#include "concurrency/work_queue.h"
#include "core/error.h"
#include "core/error_msg.h"
#include "core/stderr_line.h"
#include "uplift_random_forest/forest.h"
#include "uplift_tree/data_checks.h"
#include "uplift_tree/rng.h"

namespace corvane {

namespace {

// Ceilings on threads actually started. Beyond them extra threads would only
// wait for work that cannot exist, so results and messages are unchanged.
constexpr std::size_t kMaxPoolWorkers = 256;
constexpr std::size_t kMaxTrainingThreads = 256;
constexpr std::chrono::milliseconds kPollInterval{100};

// State shared by the training threads of one call; lives on the calling
// thread's frame, which joins every thread before it returns.
template <class Stats>
struct Training {
  Training(const DataSet& d, const SplitFinder<Stats>& f, const UpliftTreeModel& t,
           const std::string& tc, const std::string& oc, ThreadPool& p, WorkQueue q,
           const TrainingOptions& o, std::uint64_t s)
      : data(d),
        finder(f),
        template_tree(t),
        treatment_col(tc),
        outcome_col(oc),
        pool(p),
        tickets(std::move(q)),
        options(o),
        seed(s) {}

  const DataSet& data;
  const SplitFinder<Stats>& finder;
  const UpliftTreeModel& template_tree;
  const std::string& treatment_col;
  const std::string& outcome_col;
  ThreadPool& pool;
  WorkQueue tickets;
  const TrainingOptions& options;
  const std::uint64_t seed;
  std::atomic<bool> cancel{false};
  // Trees whose root was left a leaf only because every candidate split
  // scored NaN. Read by the calling thread after every thread has ended.
  std::atomic<std::size_t> nan_gain_roots{0};
  std::mutex failure_mutex;
  std::optional<std::string> failure;  // first failure of any thread
  bool out_of_memory = false;          // a failure whose text could not be kept
  bool memory_ran_out = false;         // the first failure was an allocation

  // Thread-safe and never throws: it runs in a thread's last catch. Stops
  // the other threads early: their trees would be discarded anyway.
  void record_failure(std::string_view message, bool allocation = false) noexcept {
    write_stderr_line("training thread failed: ", message);
    {
      std::lock_guard lock(failure_mutex);
      if (!failure && !out_of_memory) {
        memory_ran_out = allocation;
        try {
          failure.emplace(message);
        } catch (...) {
          out_of_memory = true;
        }
      }
    }
    abandon();
  }

  void abandon() noexcept {
    cancel.store(true, std::memory_order_relaxed);
    tickets.drain();
  }
};

// A finished tree, its number (its ticket) and its nodes' statistics (when
// the call keeps them).
struct NumberedTree {
  std::int32_t number;
  UpliftTreeModel tree;
  NodeStats stats;
  std::vector<std::uint32_t> rows;
};

template <class Stats>
void train_trees(Training<Stats>& t, Channel<NumberedTree>::Sender results) noexcept {
  try {
    while (auto ticket = t.tickets.pop()) {
      UpliftTreeModel tree = t.template_tree;
      GrowthOptions growth;
      growth.tree_key = stream_key(t.seed, static_cast<std::uint64_t>(*ticket));
      growth.honesty = t.options.honesty;
      growth.estimation_share = t.options.estimation_share;
      growth.leaves_from_ancestors = t.options.leaves_from_ancestors;
      growth.max_samples = t.options.max_samples;
      GrowthReport<Stats> report =
          tree.grow(t.data, t.finder, t.treatment_col, t.outcome_col, t.pool, t.cancel, growth);
      if (report.root_gains_all_nan) t.nan_gain_roots.fetch_add(1, std::memory_order_relaxed);
      NumberedTree numbered{*ticket, std::move(tree), NodeStats(), {}};
      if (t.options.keep_node_stats) {
        numbered.stats = std::move(report.node_stats);
        numbered.rows = std::move(report.node_rows);
      }
      // The call was abandoned when the channel is closed.
      if (!results.send(std::move(numbered))) return;
    }
  } catch (const TrainingCancelled&) {
  } catch (const std::bad_alloc&) {
    t.record_failure(msg::kMemoryAllocationFailed, true);
  } catch (const std::exception& e) {
    t.record_failure(e.what());
  } catch (...) {
    t.record_failure("unknown failure in a training thread");
  }
}

class JoinAll {
 public:
  ~JoinAll() { join(); }
  void join() {
    for (std::thread& t : threads) t.join();
    threads.clear();
  }
  std::vector<std::thread> threads;
};

std::size_t training_thread_count(std::int32_t n_threads, std::uint64_t max_features) {
  double t = std::ceil(static_cast<double>(n_threads) / static_cast<double>(max_features)) + 1.0;
  if (!(t >= 2.0)) t = 2.0;  // also catches NaN from 0 / 0
  if (t > static_cast<double>(kMaxTrainingThreads)) return kMaxTrainingThreads;
  return static_cast<std::size_t>(t);
}

}  // namespace

void ProgressSink::started(std::int32_t threads) { print(msg::start_training(threads)); }

void ProgressSink::tree_finished(std::size_t held) { print(msg::tree_finished(held)); }

void UpliftRandomForestModel::check_matches_trees(const RawData& data) const {
  if (trees_.empty()) return;
  const UpliftTreeModel& held = trees_.front();
  if (held.feature_cols != data.col_names)
    fail(msg::features_differ(held.feature_cols, data.col_names));
  // Codes all 0 are refused by the score itself, with its own message.
  if (data.max_treatment == 0) return;
  const auto& nodes = held.nodes.nodes();
  const auto leaf =
      std::find_if(nodes.begin(), nodes.end(), [](const TreeNode& node) { return node.is_leaf(); });
  if (leaf == nodes.end()) return;
  if (leaf->prob.size() != static_cast<std::size_t>(data.max_treatment))
    fail(msg::treatment_groups_differ(static_cast<std::int64_t>(leaf->prob.size()),
                                      data.max_treatment));
}

FitReport UpliftRandomForestModel::fit(const std::function<RawData()>& build_data,
                                       std::string treatment, std::string outcome,
                                       std::int32_t n_threads, ProgressSink& progress,
                                       const TrainingOptions& options) {
  if (n_threads < 0) n_threads = available_processors();
  const DataSet data = DataSet::from_raw_data(build_data());
  check_trainable(data.raw(), treatment, outcome);
  return with_outcome_stats(data.raw(), [&]<class Stats>(Stats) {
    return train<Stats>(data, std::move(treatment), std::move(outcome), n_threads, progress,
                        options);
  });
}

template <class Stats>
FitReport UpliftRandomForestModel::train(const DataSet& data, std::string treatment,
                                         std::string outcome, std::int32_t n_threads,
                                         ProgressSink& progress, const TrainingOptions& options) {
  auto [results, collector] = Channel<NumberedTree>::open();
  progress.started(n_threads);
  WorkQueue tickets = WorkQueue::counting(n_estimators);
  // Refuses an unknown criterion before training starts.
  const EvalFunc criterion = parse_eval_func(eval_func, !options.any_criterion);
  if (!applies_to<Stats>(criterion)) fail(msg::criterion_needs_binary(eval_func));
  const Splitter splitter = splitter_called(options.splitter);
  if (node_array_size(max_depth) == 0) fail(msg::max_depth_too_large(max_depth));
  // After the configuration checks, whose messages come first for a model
  // loaded with a configuration no fit accepts.
  check_matches_trees(data.raw());

  UpliftTreeModel template_tree;
  static_cast<TreeParameters&>(template_tree) = tree();

  const std::size_t trainers =
      std::min(training_thread_count(n_threads, max_features), tickets.size());
  const std::size_t features = data.raw().col_names.size();
  const std::size_t searches_at_once =
      std::max<std::size_t>(1, trainers) *
      std::max<std::size_t>(
          1, static_cast<std::size_t>(std::min<std::uint64_t>(max_features, features)));
  const std::size_t workers =
      n_threads == 0
          ? 0
          : std::min({static_cast<std::size_t>(n_threads), kMaxPoolWorkers, searches_at_once});
  ThreadPool pool(workers);

  const std::uint64_t seed = options.seed ? *options.seed : entropy_seed();
  const std::unique_ptr<const SplitFinder<Stats>> finder =
      make_split_finder<Stats>(splitter, data.raw(), {max_bins});
  Training<Stats> training(data, *finder, template_tree, treatment, outcome, pool,
                           std::move(tickets), options, seed);
  JoinAll threads;
  threads.threads.reserve(trainers);
  try {
    for (std::size_t i = 0; i < trainers; ++i) {
      try {
        threads.threads.emplace_back(train_trees<Stats>, std::ref(training), results);
      } catch (const std::system_error&) {
        break;  // fewer training threads only train more slowly
      }
    }
  } catch (...) {
    training.abandon();  // so that the threads already started end soon
    throw;
  }
  if (trainers > 0 && threads.threads.empty()) fail(msg::kSpawnFailed);
  results.reset();

  // Training has started: the model now names this call's columns. Any
  // failure from here on that keeps no new tree puts the old names back.
  const std::size_t before = trees_.size();
  std::string previous_treatment = std::exchange(treatment_col, treatment);
  std::string previous_outcome = std::exchange(outcome_col, outcome);
  auto restore = [&] {
    truncate_trees(before);
    treatment_col = std::move(previous_treatment);
    outcome_col = std::move(previous_outcome);
  };
  // Trees that wait for the others to be appended in their numbers' order.
  std::vector<NumberedTree> finished;
  FitReport report;
  try {
    for (;;) {
      std::optional<NumberedTree> tree;
      const auto wait = collector.recv_for(kPollInterval, tree);
      if (wait == Channel<NumberedTree>::Receiver::Wait::kEnded) break;
      if (wait == Channel<NumberedTree>::Receiver::Wait::kTimedOut) {
        progress.poll();
        continue;
      }
      if (options.in_tree_order) {
        finished.push_back(std::move(*tree));
        progress.tree_finished(before + finished.size());
      } else {
        append_tree(std::move(tree->tree));
        progress.tree_finished(trees_.size());
      }
    }
  } catch (...) {
    // Progress output failed or the caller was interrupted: trees printed
    // so far stay, the rest is dropped. Out of memory keeps nothing.
    collector.close();
    training.abandon();
    threads.join();
    try {
      throw;
    } catch (const std::bad_alloc&) {
      restore();
    } catch (...) {
      if (trees_.size() == before) restore();
    }
    throw;
  }
  threads.join();
  if (training.failure || training.out_of_memory) {
    restore();
    // Running out of memory stays what it is, so that callers can tell it
    // from a stop (the text is the same either way).
    if (training.out_of_memory || training.memory_ran_out) throw std::bad_alloc();
    fail(*training.failure);
  }
  if (options.in_tree_order) {
    std::sort(finished.begin(), finished.end(),
              [](const NumberedTree& a, const NumberedTree& b) { return a.number < b.number; });
    try {
      reserve_trees(trees_.size() + finished.size());
      if (options.keep_node_stats) {
        report.node_stats.reserve(finished.size());
        report.node_rows.reserve(finished.size());
      }
    } catch (...) {
      restore();
      throw;
    }
    for (NumberedTree& tree : finished) {
      append_tree(std::move(tree.tree));
      if (options.keep_node_stats) {
        report.node_stats.push_back(std::move(tree.stats));
        report.node_rows.push_back(std::move(tree.rows));
      }
    }
  }

  const std::size_t added = trees_.size() - before;
  if (added > 0 && training.nan_gain_roots.load(std::memory_order_relaxed) == added) {
    report.all_roots_nan_gain = true;
    const GroupStats<Stats> groups = data.summary<Stats>();
    for (std::size_t g = 1; g < groups.size(); ++g)
      if (groups[g].n < groups[static_cast<std::size_t>(report.smallest_group)].n)
        report.smallest_group = static_cast<std::int32_t>(g);
    report.smallest_group_rows = groups[static_cast<std::size_t>(report.smallest_group)].n;
  }
  return report;
}

}  // namespace corvane
