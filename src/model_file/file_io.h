// Reading and writing whole model files. Failures stop the call with
// "called `Result::unwrap()` on an `Err` value: " and the system error,
// unless said otherwise below.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "model_file/output_sink.h"

namespace corvane::model_file {

// Called on the working thread each time a system call was interrupted by a
// signal, before the call is retried. It may throw to abandon the operation
// (that is how Ctrl-C reaches the caller); an empty function just retries.
using OnInterrupt = std::function<void()>;

// Exact length of a text that is about to be written; `overflowed` when it
// does not fit in 64 bits.
struct TextSize {
  std::uint64_t bytes = 0;
  bool overflowed = false;
};

// Writes the text that `produce` puts into its sink (`size` bytes, measured
// beforehand) to `path` without ever leaving a damaged file there: the text
// goes to a new file next to the target, is synced, and then takes the
// target's place by rename. On any failure that file is removed and the
// target stays as it was. Details:
// - a symbolic link is followed: the file it leads to is replaced, the link
//   stays;
// - a replaced file keeps its permission bits, and its owner where allowed;
//   a new file gets 0666 less the umask;
// - a path that exists and is no regular file (a device, a FIFO) is opened
//   for writing and written in place;
// - text that would not fit in the free space of the target's file system,
//   or whose length overflows 64 bits, is refused before anything is
//   written, with a message giving both sizes.
void write_file(const std::string& path, TextSize size,
                const std::function<void(OutputSink&)>& produce,
                const OnInterrupt& on_interrupt = {});

// The whole content of `path`. A regular file is read to its end, however
// long. Anything else (a FIFO, a device) is a stream that might never end,
// so reading stops, with a message of its own, once it has given more than a
// few gigabytes, or more than a megabyte that cannot begin a model file; it
// also stops as soon as the bytes read are not UTF-8 and returns them, since
// the content is refused for that whatever follows.
std::string read_file(const std::string& path, const OnInterrupt& on_interrupt = {});

// "Os { code: N, kind: K, message: \"...\" }" for an errno value.
std::string render_os_error(int code);

}  // namespace corvane::model_file
