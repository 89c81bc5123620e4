#include "model_file/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/error.h"
#include "core/error_msg.h"

namespace corvane::model_file {

namespace {

const char* error_kind(int code) {
  switch (code) {
    case ENOENT:
      return "NotFound";
    case EACCES:
    case EPERM:
      return "PermissionDenied";
    case EEXIST:
      return "AlreadyExists";
    case EISDIR:
      return "IsADirectory";
    case ENOTDIR:
      return "NotADirectory";
    case ENOSPC:
    case EDQUOT:
      return "StorageFull";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EINVAL:
      return "InvalidInput";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case EINTR:
      return "Interrupted";
    case ENOMEM:
      return "OutOfMemory";
    case EFBIG:
      return "FileTooLarge";
    case ELOOP:
      return "FilesystemLoop";
    case EBUSY:
      return "ResourceBusy";
    default:
      return "Uncategorized";
  }
}

[[noreturn]] void fail_os(int code) { fail(msg::unwrap_err(render_os_error(code))); }

// A path holding NUL cannot be passed to the system without silently
// naming another file.
void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    fail(msg::unwrap_err(msg::kNulInPath));
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string render_os_error(int code) {
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return "Os { code: " + std::to_string(code) + ", kind: " + error_kind(code) + ", message: \"" +
         text + "\" }";
}

void write_file(const std::string& path, std::string_view bytes) {
  check_path(path);
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) fail_os(errno);
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_os(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string read_file(const std::string& path) {
  check_path(path);
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail_os(errno);
  // Sized from what the file system reports (one byte more, to see the end
  // in the first read), doubled when the file turns out longer.
  struct stat st {};
  const bool sized = ::fstat(fd.get(), &st) == 0 && st.st_size > 0;
  std::string content(sized ? static_cast<std::size_t>(st.st_size) + 1 : 65536, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(2 * content.size());
    const ssize_t n = ::read(fd.get(), content.data() + used, content.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_os(errno);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  content.resize(used);
  return content;
}

}  // namespace corvane::model_file
