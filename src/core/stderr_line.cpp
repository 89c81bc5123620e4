#include "core/stderr_line.h"

#include <unistd.h>

namespace corvane {

void write_stderr_line(const std::string& line) {
  const std::string text = "corvane: " + line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace corvane
