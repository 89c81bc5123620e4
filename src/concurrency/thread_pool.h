// Fixed set of worker threads serving one FIFO job queue. The pool is owned
// by the call that created it; its destructor lets the workers finish every
// queued job and joins them, so no worker outlives the call.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane {

class ThreadPool {
 public:
  using Job = std::function<void()>;

  // Starts `workers` threads, or as many as the system lets us start if that
  // is fewer; throws Error when workers is 0 or no thread can be started.
  explicit ThreadPool(std::size_t workers);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Thread-safe. A job that throws ends only itself; jobs report their own
  // failures to whoever waits for them.
  void execute(Job job);

  std::size_t worker_count() const { return threads_.size(); }

 private:
  void work();
  // Lets the workers finish every queued job and joins them.
  void stop() noexcept;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace corvane
