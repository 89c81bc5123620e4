// Whole-file reads and writes for model files. Failures stop the call with
// "called `Result::unwrap()` on an `Err` value: " and the system error.
#pragma once

#include <string>
#include <string_view>

namespace corvane::model_file {

// Creates or truncates `path` (mode 0666 less the umask, not inherited by
// child processes) and writes all of `bytes`.
void write_file(const std::string& path, std::string_view bytes);

// The whole content of `path`.
std::string read_file(const std::string& path);

// "Os { code: N, kind: K, message: \"...\" }" for an errno value.
std::string render_os_error(int code);

}  // namespace corvane::model_file
