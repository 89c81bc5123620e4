// The one error type of the native core. Every stop inside the model throws
// it with the exact text the caller will see; the binding turns it into the
// exception its callers catch, at one place.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, int os_code = 0)
      : std::runtime_error(message), os_code_(os_code) {}
  explicit Error(const char* message, int os_code = 0)
      : std::runtime_error(message), os_code_(os_code) {}

  // The errno value of a failed system call behind the stop, or 0: lets a
  // binding raise the operating system's own kind of error where it wants.
  int os_code() const { return os_code_; }

 private:
  int os_code_;
};

[[noreturn]] inline void fail(const std::string& message) { throw Error(message); }

}  // namespace corvane
