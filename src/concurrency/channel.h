// Unbounded channel with many senders and one receiver. The receiver learns
// that the stream has ended when every Sender has been destroyed, which is how
// a waiting thread knows that all producers holding a sender are finished.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace corvane {

template <class T>
class Channel {
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> items;
    std::size_t senders = 1;
    bool receiver_alive = true;
  };

 public:
  // Copyable: every copy is one more sender that must go before the end.
  // Thread-safety: distinct Sender objects may be used from different threads
  // at once; one Sender object is not shared between threads.
  class Sender {
   public:
    Sender(const Sender& other) : state_(other.state_) {
      if (state_) {
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
      }
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender other) noexcept {
      std::swap(state_, other.state_);
      return *this;
    }
    ~Sender() { reset(); }

    // False when the receiver is gone; the value is then dropped.
    bool send(T value) {
      {
        std::lock_guard lock(state_->mutex);
        if (!state_->receiver_alive) return false;
        state_->items.push_back(std::move(value));
      }
      state_->ready.notify_one();
      return true;
    }

    void reset() {
      if (!state_) return;
      bool last;
      {
        std::lock_guard lock(state_->mutex);
        last = --state_->senders == 0;
      }
      if (last) state_->ready.notify_all();
      state_.reset();
    }

   private:
    friend class Channel;
    explicit Sender(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  // Move-only; used by one thread.
  class Receiver {
   public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&&) noexcept = default;
    ~Receiver() { close(); }

    // Blocks until a value arrives (returned) or every sender is gone
    // and nothing is left (nullopt).
    std::optional<T> recv() {
      std::unique_lock lock(state_->mutex);
      state_->ready.wait(lock, [&] { return !state_->items.empty() || state_->senders == 0; });
      if (state_->items.empty()) return std::nullopt;
      T value = std::move(state_->items.front());
      state_->items.pop_front();
      return value;
    }

    enum class Wait { kValue, kEnded, kTimedOut };

    // Like recv(), but gives up after `timeout` (kTimedOut, `out` untouched).
    template <class Duration>
    Wait recv_for(Duration timeout, std::optional<T>& out) {
      std::unique_lock lock(state_->mutex);
      if (!state_->ready.wait_for(lock, timeout,
                                  [&] { return !state_->items.empty() || state_->senders == 0; }))
        return Wait::kTimedOut;
      if (state_->items.empty()) return Wait::kEnded;
      out.emplace(std::move(state_->items.front()));
      state_->items.pop_front();
      return Wait::kValue;
    }

    // Later sends fail; values not yet received are dropped. Allocates
    // nothing (it runs in the destructor, also when memory ran out).
    void close() noexcept {
      if (!state_) return;
      {
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
      }
      // No sender touches the items once it has seen the flag, so they can be
      // dropped outside the lock.
      state_->items.clear();
    }

   private:
    friend class Channel;
    explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  static std::pair<Sender, Receiver> open() {
    auto state = std::make_shared<State>();
    return {Sender(state), Receiver(state)};
  }
};

}  // namespace corvane
