#include <cerrno>
#include <cstring>

#include "core/error.h"
#include "core/error_msg.h"
#include "model_file/os_call.h"

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

}  // namespace

std::string render_os_error(int code) {
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return "Os { code: " + std::to_string(code) + ", kind: " + error_kind(code) + ", message: \"" +
         text + "\" }";
}

void fail_os(int code) { throw Error(msg::unwrap_err(render_os_error(code)), code); }

void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) fail(msg::unwrap_err(msg::kNulInPath));
}

}  // namespace corvane::model_file
