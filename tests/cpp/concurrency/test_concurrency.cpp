// The shared concurrency types under contention. Also run under
// ThreadSanitizer (scripts/test.sh runs the tests whose names contain
// "concurrency" in a -fsanitize=thread build).
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "check.h"
#include "concurrency/channel.h"
#include "concurrency/index_pool.h"
#include "concurrency/thread_pool.h"
#include "concurrency/work_queue.h"
#include "core/error.h"

using namespace corvane;

TEST(concurrency_work_queue_hands_out_each_ticket_once) {
  WorkQueue queue = WorkQueue::counting(20000);
  std::vector<std::vector<std::int32_t>> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      while (auto v = queue.pop()) got[static_cast<std::size_t>(t)].push_back(*v);
    });
  for (auto& th : threads) th.join();
  std::vector<std::int32_t> all;
  for (auto& g : got) {
    CHECK(std::is_sorted(g.begin(), g.end()));  // FIFO seen from each taker
    all.insert(all.end(), g.begin(), g.end());
  }
  std::sort(all.begin(), all.end());
  CHECK_EQ(all.size(), std::size_t{20000});
  CHECK(std::adjacent_find(all.begin(), all.end()) == all.end());
  CHECK(!queue.pop().has_value());
  CHECK(!WorkQueue::counting(-3).pop().has_value());
}

TEST(concurrency_channel_ends_when_the_last_sender_goes) {
  auto [sender, receiver] = Channel<int>::open();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([s = sender, t]() mutable {
      for (int i = 0; i < 1000; ++i) CHECK(s.send(t * 1000 + i));
    });
  sender.reset();
  std::set<int> seen;
  while (auto v = receiver.recv()) seen.insert(*v);
  for (auto& th : threads) th.join();
  CHECK_EQ(seen.size(), std::size_t{4000});
  CHECK_EQ(*seen.rbegin(), 3999);
}

TEST(concurrency_channel_send_fails_once_the_receiver_closed) {
  auto [sender, receiver] = Channel<int>::open();
  CHECK(sender.send(1));
  receiver.close();
  CHECK(!sender.send(2));
}

TEST(concurrency_thread_pool_runs_every_job_and_survives_failing_ones) {
  std::atomic<int> ran{0};
  {
    ThreadPool pool(3);
    CHECK_EQ(pool.worker_count(), std::size_t{3});
    for (int i = 0; i < 500; ++i)
      pool.execute([&ran, i] {
        ran.fetch_add(1);
        if (i % 7 == 0) throw std::runtime_error("job failed");
      });
  }  // the destructor drains the queue and joins
  CHECK_EQ(ran.load(), 500);
}

TEST(concurrency_thread_pool_refuses_zero_workers) {
  CHECK_THROWS_WITH(ThreadPool pool(0), Error, "assertion failed: num_threads > 0");
}

TEST(concurrency_index_pool_never_hands_one_vector_to_two_holders) {
  auto pool = IndexPool::create();
  std::atomic<bool> clash{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2000; ++round) {
        std::vector<RowList> held;
        for (int i = 0; i < 20; ++i) {
          RowList list = pool->take();
          if (!list.rows().empty()) clash = true;  // must arrive emptied
          list.mutable_rows().assign(5, static_cast<std::uint32_t>(t * 100000 + round));
          held.push_back(list);  // a second handle on the same vector
        }
        for (const RowList& list : held)
          for (std::uint32_t v : list.rows())
            if (v != static_cast<std::uint32_t>(t * 100000 + round)) clash = true;
      }
    });
  for (auto& th : threads) th.join();
  CHECK(!clash.load());
  // 4 threads x 20 lists at most at once: a few pages, not one per take.
  CHECK(pool->page_count() <= 4);
}

TEST(concurrency_index_pool_keeps_capacity_and_outlives_its_creator) {
  RowList survivor;
  {
    auto pool = IndexPool::create();
    RowList list = pool->take();
    CHECK(list.rows().capacity() >= IndexPool::kInitialCapacity);
    list.mutable_rows().resize(5000);
    const auto* data = list.rows().data();
    list = RowList();
    RowList again = pool->take();  // the same slot comes back, emptied, capacity kept
    CHECK(again.rows().empty());
    CHECK(again.rows().capacity() >= 5000);
    CHECK(again.rows().data() == data);
    survivor = again;
  }
  // The handle keeps the pool alive after its creator let go.
  survivor.mutable_rows().push_back(7);
  CHECK_EQ(survivor.rows().back(), 7u);
}
