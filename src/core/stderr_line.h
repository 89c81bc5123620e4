// A last word about a failure that has no caller left to tell (a worker
// thread's fault, a stop being turned into an exception).
#pragma once

#include <string>

namespace corvane {

// Writes "corvane: <line>\n" straight to file descriptor 2 (usable from any
// thread; takes no lock and allocates only the line).
void write_stderr_line(const std::string& line);

}  // namespace corvane
