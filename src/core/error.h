// The one error type of the native core. Every stop inside the model throws
// it with the exact text the caller will see; the binding turns it into the
// exception its callers catch, at one place.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  explicit Error(const char* message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw Error(message); }

}  // namespace corvane
