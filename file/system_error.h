#pragma once
// An Error from the system's error number (POSIX errno, or what std::filesystem reports),
// its code saying the kinds a caller tells apart and its message the system's own words.
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "base/result.h"

namespace velkorn::file {

inline ErrorCode errorCodeOf(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:  // a device node whose device is gone (an unplugged adapter)
    case ENXIO: return ErrorCode::NotFound;
    case EACCES:
    case EPERM:
    case EROFS: return ErrorCode::Denied;
    case EBUSY:
    case EWOULDBLOCK: return ErrorCode::Busy;
    default: return ErrorCode::Failed;
  }
}

// The system's text for `err`, after `before` and ": " when that is given.
inline Error systemError(int err, const std::string& before = {}) {
  const std::string text = std::strerror(err);
  return makeError(errorCodeOf(err), before.empty() ? text : before + ": " + text);
}

}  // namespace velkorn::file
