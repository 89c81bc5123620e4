#include "core/stderr_line.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace corvane {

void write_stderr_line(std::string_view head, std::string_view line) noexcept {
  // Pieces written as they are: reporting a failure (out of memory above
  // all) must not need memory itself.
  static const char kPrefix[] = "corvane: ";
  iovec parts[4] = {{const_cast<char*>(kPrefix), sizeof kPrefix - 1},
                    {const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(line.data()), line.size()},
                    {const_cast<char*>("\n"), 1}};
  iovec* next = parts;
  int left = 4;
  while (left > 0) {
    const ssize_t n = ::writev(STDERR_FILENO, next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::size_t done = static_cast<std::size_t>(n);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
}

}  // namespace corvane
