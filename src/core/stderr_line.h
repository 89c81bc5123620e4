// A last word about a failure that has no caller left to tell (a worker
// thread's fault, a stop being turned into an exception).
#pragma once

#include <string_view>

namespace corvane {

// Writes "corvane: <head><line>\n" straight to file descriptor 2 (usable from
// any thread; takes no lock, never touches Python and allocates nothing, so it
// can report a failed allocation).
void write_stderr_line(std::string_view head, std::string_view line = {}) noexcept;

}  // namespace corvane
