// Reading a whole model file. A regular file is read to its end; a stream
// (FIFO, device) may never end, so its reading is bounded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "core/error.h"
#include "core/error_msg.h"
#include "model_file/file_io.h"
#include "model_file/os_call.h"
#include "model_file/utf8.h"

namespace corvane::model_file {

namespace {

// Far more than the model files that are read through a pipe in practice,
// and still far less than reading /dev/zero until memory runs out.
constexpr std::size_t kStreamLimit = std::size_t{4} << 30;
// Once a stream has given this much, its start must be able to begin a model
// file; until then it is read like a file, with the same messages.
constexpr std::size_t kSniffLimit = std::size_t{1} << 20;
constexpr std::size_t kStreamChunk = std::size_t{1} << 16;

std::size_t read_into(int fd, char* data, std::size_t size, const OnInterrupt& on_interrupt) {
  const ssize_t n = retry_interrupted(on_interrupt, [&] { return ::read(fd, data, size); });
  if (n < 0) fail_os(errno);
  return static_cast<std::size_t>(n);
}

std::string read_regular(int fd, const struct stat& st, const OnInterrupt& on_interrupt) {
  // Sized from what the file system reports (one byte more, to see the end
  // in the first read), doubled when the file turns out longer.
  const bool sized = st.st_size > 0;
  std::string content(sized ? static_cast<std::size_t>(st.st_size) + 1 : 65536, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(2 * content.size());
    const std::size_t n = read_into(fd, content.data() + used, content.size() - used, on_interrupt);
    if (n == 0) break;
    used += n;
  }
  content.resize(used);
  return content;
}

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string read_stream(const std::string& path, int fd, const OnInterrupt& on_interrupt) {
  std::string content;
  std::size_t used = 0;
  std::size_t whole_characters = 0;  // bytes known to be UTF-8
  std::size_t leading_space = 0;     // JSON whitespace at the start
  for (;;) {
    if (content.size() - used < kStreamChunk)
      content.resize(std::max(2 * content.size(), used + kStreamChunk));
    const std::size_t n = read_into(fd, content.data() + used, content.size() - used, on_interrupt);
    if (n == 0) break;
    used += n;

    // Bytes that are no UTF-8 make the content fail whatever follows, with
    // the message of a file holding them: stop and hand them over.
    const Utf8Prefix scan = scan_utf8_prefix(
        std::string_view(content.data() + whole_characters, used - whole_characters));
    if (scan.invalid) break;
    whole_characters += scan.complete;

    while (leading_space < used && is_json_whitespace(content[leading_space])) ++leading_space;
    if (used > kSniffLimit && leading_space < used && content[leading_space] != '{' &&
        content[leading_space] != '[')
      fail(msg::stream_not_a_model(path, used));
    if (used > kStreamLimit) fail(msg::stream_too_long(path, kStreamLimit));
  }
  content.resize(used);
  return content;
}

}  // namespace

std::string read_file(const std::string& path, const OnInterrupt& on_interrupt) {
  check_path(path);
  // Opening a FIFO waits for a writer: an interruption lets Ctrl-C through.
  Fd fd(
      retry_interrupted(on_interrupt, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) fail_os(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) fail_os(errno);
  if (S_ISREG(st.st_mode)) return read_regular(fd.get(), st, on_interrupt);
  return read_stream(path, fd.get(), on_interrupt);
}

}  // namespace corvane::model_file
