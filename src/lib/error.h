// The one error type of the native core. Every stop inside the model throws
// it with the exact text the Python caller will see; the method boundary
// (lib/call_guard.h) turns it into a PanicException.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  explicit Error(const char* message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw Error(message); }

}  // namespace corvane

namespace corvane {

// Writes "corvane: <head><line>\n" straight to file descriptor 2 (usable from
// any thread; never touches Python, never allocates).
void write_stderr_line(std::string_view head, std::string_view line = {}) noexcept;

}  // namespace corvane
