// errno classification and text.
#include "io/os_error.hpp"

#include <cerrno>

#include "io/error.hpp"
#include "os/error_text.hpp"

namespace kemb::io {
namespace {

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

const char* os_error_kind(int errnum) {
  switch (errnum) {
    case ENOENT: return "NotFound";
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ECONNREFUSED: return "ConnectionRefused";
    case ECONNRESET: return "ConnectionReset";
    case EHOSTUNREACH: return "HostUnreachable";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ENOTCONN: return "NotConnected";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case EPIPE: return "BrokenPipe";
    case EEXIST: return "AlreadyExists";
    case EAGAIN: return "WouldBlock";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EROFS: return "ReadOnlyFilesystem";
    case ELOOP: return "FilesystemLoop";
    case ESTALE: return "StaleNetworkFileHandle";
    case EINVAL: return "InvalidInput";
    case ETIMEDOUT: return "TimedOut";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EDQUOT: return "QuotaExceeded";
    case EFBIG: return "FileTooLarge";
    case EBUSY: return "ResourceBusy";
    case ETXTBSY: return "ExecutableFileBusy";
    case EDEADLK: return "Deadlock";
    case EXDEV: return "CrossesDevices";
    case EMLINK: return "TooManyLinks";
    case ENAMETOOLONG: return "InvalidFilename";
    case E2BIG: return "ArgumentListTooLong";
    case EINTR: return "Interrupted";
    case ENOSYS: return "Unsupported";
    case ENOMEM: return "OutOfMemory";
    case EINPROGRESS: return "InProgress";
    default: return "Uncategorized";
  }
}

std::string os_error_description(int errnum) {
  return "Os { code: " + std::to_string(errnum) + ", kind: " + os_error_kind(errnum) +
         ", message: \"" + escaped(os::error_text(errnum)) + "\" }";
}

std::string os_error_description(int errnum, std::string_view path) {
  const std::string_view shown = quoted_part(path);
  return "Os { code: " + std::to_string(errnum) + ", kind: " + os_error_kind(errnum) +
         ", message: \"" + escaped(os::error_text(errnum)) + "\", path: \"" + escaped(shown) +
         "\"" + cut_marker(shown.size(), path.size()) + " }";
}

std::string os_error_text(int errnum) {
  return os::error_text(errnum) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace kemb::io
