// Writing a whole model file so that a failure never destroys what was there
// before: the text goes to a new file in the target's directory, which takes
// the target's place by rename only once it is complete and on disk.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "core/error.h"
#include "core/error_msg.h"
#include "model_file/file_io.h"
#include "model_file/os_call.h"

namespace corvane::model_file {

namespace {

// Linux's own limit on symbolic links followed while resolving one path.
constexpr int kMaxLinks = 40;
constexpr std::size_t kWriteBuffer = std::size_t{1} << 18;
// Room left for the temporary name's suffix within NAME_MAX.
constexpr std::size_t kMaxBaseInTempName = 200;
constexpr int kMaxTempAttempts = 100;

// Hands full buffers to a file descriptor.
// Thread-safety: an object is used by one thread at a time.
class FileSink final : public OutputSink {
 public:
  FileSink(int fd, std::unique_ptr<char[]> buffer, const OnInterrupt& on_interrupt)
      : OutputSink(buffer.get(), kWriteBuffer),
        fd_(fd),
        buffer_(std::move(buffer)),
        on_interrupt_(on_interrupt) {}

 protected:
  void drain(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = retry_interrupted(on_interrupt_, [&] { return ::write(fd_, data, size); });
      if (n < 0) fail_os(errno);
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
  std::unique_ptr<char[]> buffer_;
  const OnInterrupt& on_interrupt_;
};

void write_all(int fd, const std::function<void(OutputSink&)>& produce,
               const OnInterrupt& on_interrupt) {
  FileSink sink(fd, std::unique_ptr<char[]>(new char[kWriteBuffer]), on_interrupt);
  produce(sink);
  sink.flush();
}

struct Target {
  std::string path;  // the file to replace or create, symbolic links resolved
  bool exists = false;
  bool in_place = false;  // exists and is no regular file
  struct stat st {};
};

std::string dir_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Target resolve_target(const std::string& path) {
  Target target;
  target.path = path;
  // "dir/" names no file to put in its place; opening it reports what it is.
  if (path.empty() || path.back() == '/') {
    target.in_place = true;
    return target;
  }
  for (int links = 0;; ++links) {
    if (::lstat(target.path.c_str(), &target.st) != 0) {
      if (errno == ENOENT) return target;  // a new file (or a missing directory)
      fail_os(errno);
    }
    if (!S_ISLNK(target.st.st_mode)) break;
    if (links == kMaxLinks) fail_os(ELOOP);
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(target.path.c_str(), link.data(), link.size());
    if (n < 0) fail_os(errno);
    link.resize(static_cast<std::size_t>(n));
    target.path = !link.empty() && link.front() == '/' ? link : dir_of(target.path) + "/" + link;
  }
  target.exists = true;
  target.in_place = !S_ISREG(target.st.st_mode);
  return target;
}

// The new file, removed again unless it has taken the target's place.
// Thread-safety: one object belongs to one thread.
class TempFile {
 public:
  ~TempFile() {
    fd.reset();
    if (!name.empty() && !committed) ::unlink(name.c_str());
  }
  std::string name;
  Fd fd;
  bool committed = false;
};

void create_temp(const Target& target, const OnInterrupt& on_interrupt, TempFile& temp) {
  static std::atomic<unsigned> counter{0};
  const std::string prefix = dir_of(target.path) + "/." +
                             base_of(target.path).substr(0, kMaxBaseInTempName) + ".tmp-" +
                             std::to_string(::getpid()) + "-";
  // A replaced file's bits are set once the file is ours; a new one is made
  // as opening the target would make it.
  const mode_t mode = target.exists ? 0600 : 0666;
  for (int attempt = 0;; ++attempt) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::string name = prefix + std::to_string(counter.fetch_add(1, std::memory_order_relaxed)) +
                       "-" + std::to_string(static_cast<unsigned long long>(stamp) % 1000000007u);
    const int fd = retry_interrupted(on_interrupt, [&] {
      return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    });
    if (fd >= 0) {
      temp.name = std::move(name);
      temp.fd.reset(fd);
      return;
    }
    if (errno != EEXIST || attempt == kMaxTempAttempts) fail_os(errno);
  }
}

void keep_owner_and_mode(const Target& target, int fd) {
  // Changing the owner may be refused to an ordinary user: the file is then
  // the writer's own, as any new file would be. It comes first because it
  // clears set-user-ID bits that fchmod then restores.
  if (target.st.st_uid != ::geteuid() || target.st.st_gid != ::getegid())
    (void)!::fchown(fd, target.st.st_uid, target.st.st_gid);
  if (::fchmod(fd, target.st.st_mode & 07777) != 0) fail_os(errno);
}

// A file system that cannot sync at all says so with these; the data has
// reached it all the same. Any other failure (EIO, ENOSPC) means it has not.
bool sync_unsupported(int code) { return code == EINVAL || code == ENOTSUP || code == ENOSYS; }

std::uint64_t free_bytes(int fd) {
  struct statvfs vfs {};
  if (::fstatvfs(fd, &vfs) != 0) fail_os(errno);
  const std::uint64_t blocks = vfs.f_bavail;
  const std::uint64_t block_size = vfs.f_frsize;
  if (block_size != 0 && blocks > UINT64_MAX / block_size) return UINT64_MAX;
  return blocks * block_size;
}

std::string shown_dir(const std::string& dir) {
  char resolved[PATH_MAX];
  return ::realpath(dir.c_str(), resolved) ? std::string(resolved) : dir;
}

void sync_dir(const std::string& dir) {
  // The rename is what makes the new file the target; syncing the directory
  // makes it last through a power loss. Some file systems cannot sync a
  // directory: the file is in place all the same, so that is no failure.
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) (void)::fsync(fd.get());
}

void write_in_place(const Target& target, const std::function<void(OutputSink&)>& produce,
                    const OnInterrupt& on_interrupt) {
  // Opening a FIFO waits for a reader: an interruption lets Ctrl-C through.
  Fd fd(retry_interrupted(on_interrupt, [&] {
    return ::open(target.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }));
  if (!fd.valid()) fail_os(errno);
  write_all(fd.get(), produce, on_interrupt);
  if (fd.close_checked() != 0) fail_os(errno);
}

}  // namespace

void write_file(const std::string& path, TextSize size,
                const std::function<void(OutputSink&)>& produce, const OnInterrupt& on_interrupt) {
  check_path(path);
  if (size.overflowed) fail(msg::model_file_size_overflow());
  const Target target = resolve_target(path);
  if (target.in_place) return write_in_place(target, produce, on_interrupt);

  if (target.exists) {
    // Replacing needs no write access to the file itself, only to its
    // directory; a file the caller may not write stays refused as before.
    Fd check(retry_interrupted(on_interrupt,
                               [&] { return ::open(target.path.c_str(), O_WRONLY | O_CLOEXEC); }));
    if (!check.valid()) fail_os(errno);
  }

  TempFile temp;
  create_temp(target, on_interrupt, temp);
  if (target.exists) keep_owner_and_mode(target, temp.fd.get());
  const std::uint64_t available = free_bytes(temp.fd.get());
  if (size.bytes > available)
    throw Error(msg::model_file_too_large(size.bytes, shown_dir(dir_of(target.path)), available),
                ENOSPC);

  write_all(temp.fd.get(), produce, on_interrupt);
  if (retry_interrupted(on_interrupt, [&] { return ::fsync(temp.fd.get()); }) != 0 &&
      !sync_unsupported(errno))
    fail_os(errno);
  if (temp.fd.close_checked() != 0) fail_os(errno);
  if (retry_interrupted(on_interrupt,
                        [&] { return ::rename(temp.name.c_str(), target.path.c_str()); }) != 0)
    fail_os(errno);
  temp.committed = true;
  sync_dir(dir_of(target.path));
}

}  // namespace corvane::model_file
