// The one error type of the native core. Every stop inside the model throws
// it with the exact text the Python caller will see; the method boundary
// (lib/call_guard.h) turns it into a PanicException.
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

namespace corvane {

// Writes "corvane: <line>\n" straight to file descriptor 2 (usable from any
// thread; never touches Python).
void write_stderr_line(const std::string& line);

}  // namespace corvane
