// Files shared by processes under a lock (Windows: LockFileEx over the whole file).
#include <windows.h>

#include "file/locked_file.h"
#include "file/win32_wide.h"
#include "file/win32_error.h"

namespace velkorn::file {
namespace {

Error lastErrorText() {
  const DWORD code = ::GetLastError();
  const bool held = code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION;
  return makeError(held ? ErrorCode::Busy : ErrorCode::Failed, file::win32ErrorText(code));
}

// Closes the handle, and with it the lock, on every way out.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

bool lockWhole(HANDLE h) {
  OVERLAPPED at{};
  return ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

bool writeAllAt(HANDLE h, const std::string& text, LONGLONG offset) {
  std::size_t done = 0;
  while (done < text.size()) {
    OVERLAPPED at{};
    const ULONGLONG where = static_cast<ULONGLONG>(offset) + done;
    at.Offset = static_cast<DWORD>(where & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD n = 0;
    if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &n, &at)) return false;
    if (n == 0) {
      ::SetLastError(ERROR_DISK_FULL);
      return false;
    }
    done += n;
  }
  return true;
}

bool cutAt(HANDLE h, LONGLONG size) {
  LARGE_INTEGER to{};
  to.QuadPart = size;
  return ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
}

HANDLE openShared(const std::string& path, DWORD disposition) {
  return ::CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Status appendLocked(const std::string& path, const std::string& text) {
  const Handle h(openShared(path, OPEN_ALWAYS));
  if (h.get() == INVALID_HANDLE_VALUE) return lastErrorText();
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) return makeError(ErrorCode::NotRegular, "not a regular file");
  if (!lockWhole(h.get())) return lastErrorText();
  LARGE_INTEGER end{};
  if (!::GetFileSizeEx(h.get(), &end)) return lastErrorText();
  if (!writeAllAt(h.get(), text, end.QuadPart)) {
    Error why = lastErrorText();
    if (!cutAt(h.get(), end.QuadPart)) why.message += "; a part of the line stays in the file";
    return why;
  }
  if (!::FlushFileBuffers(h.get())) return lastErrorText();
  return {};
}

Status changeLocked(const std::string& path, const Change& change) {
  const Handle h(openShared(path, OPEN_EXISTING));
  if (h.get() == INVALID_HANDLE_VALUE) return lastErrorText();
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) return makeError(ErrorCode::NotRegular, "not a regular file");
  if (!lockWhole(h.get())) return lastErrorText();
  std::string old;
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr)) return lastErrorText();
    if (n == 0) break;
    old.append(buffer, n);
    if (old.size() > 65536) return makeError(ErrorCode::Invalid, "the file is too long");
  }
  const Result<std::string> replacement = change(old);
  if (!replacement) return replacement.error();
  if (!writeAllAt(h.get(), *replacement, 0)) return lastErrorText();
  if (!cutAt(h.get(), static_cast<LONGLONG>(replacement->size()))) return lastErrorText();
  if (!::FlushFileBuffers(h.get())) return lastErrorText();
  return {};
}

}  // namespace velkorn::file
