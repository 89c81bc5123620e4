#include "concurrency/thread_pool.h"

#include <system_error>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane {

ThreadPool::ThreadPool(std::size_t workers) {
  if (workers == 0) fail(msg::kNoPoolThreads);
  try {
    threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        // Fewer workers change how fast jobs run, never what they compute.
        break;
      }
    }
  } catch (...) {
    // Out of memory: no destructor runs for a half-made pool, and a joinable
    // thread must not be dropped.
    stop();
    throw;
  }
  if (threads_.empty()) fail(msg::kSpawnFailed);
}

ThreadPool::~ThreadPool() { stop(); }

void ThreadPool::stop() noexcept {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ThreadPool::execute(Job job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void ThreadPool::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping and drained
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      job();
    } catch (...) {
      // Nothing may escape a thread; the job has already told its waiter.
    }
  }
}

}  // namespace corvane
