// Helpers shared by the file reading and writing code: system calls retried
// when a signal interrupts them, failures with the system's error, and an
// owned file descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

#include "model_file/file_io.h"

namespace corvane::model_file {

// Stops with the rendering of an errno value.
[[noreturn]] void fail_os(int code);

// A path holding NUL cannot be passed to the system without silently naming
// another file: stop instead.
void check_path(const std::string& path);

// Runs `call` until it does not fail with EINTR, giving `on_interrupt` its
// chance (to let Ctrl-C through) after each interruption. Returns the last
// result; errno is that of the last call.
template <class Call>
auto retry_interrupted(const OnInterrupt& on_interrupt, Call&& call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
    if (on_interrupt) on_interrupt();
  }
}

// Owns a file descriptor. Thread-safety: one object belongs to one thread.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    // Linux releases the descriptor even when close reports EINTR, so
    // closing is never repeated.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes and reports what close() says, so that an error of a delayed
  // write (network file systems report them here) is not lost.
  int close_checked() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) == 0 || errno == EINTR) return 0;
    return -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace corvane::model_file
