// Files shared by processes under a lock (POSIX: flock on the open file).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file/locked_file.h"
#include "file/system_error.h"

namespace velkorn::file {
namespace {

Error systemText() { return systemError(errno); }

// Closes the descriptor, and with it the lock, on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The lock waits for the other holder; a signal (Ctrl+C) only restarts it, and holders
// keep it for one short write.
bool lockWhole(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Writes all of `text` at `offset`; false with errno set when the system took less.
bool writeAllAt(int fd, const std::string& text, off_t offset) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Status appendLocked(const std::string& path, const std::string& text) {
  const Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666));
  if (fd.get() < 0) return systemText();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return systemText();
  // A device or a FIFO would take the line without keeping it.
  if (!S_ISREG(st.st_mode)) return makeError(ErrorCode::NotRegular, "not a regular file");
  if (!lockWhole(fd.get())) return systemText();
  // The end is looked up under the lock: another process may have appended meanwhile.
  const off_t end = ::lseek(fd.get(), 0, SEEK_END);
  if (end < 0) return systemText();
  if (!writeAllAt(fd.get(), text, end)) {
    Error why = systemText();
    // Half a line would spoil the line after it for every reader.
    if (::ftruncate(fd.get(), end) != 0) why.message += "; a part of the line stays in the file";
    return why;
  }
  if (::fsync(fd.get()) != 0) return systemText();
  return {};
}

Status changeLocked(const std::string& path, const Change& change) {
  for (;;) {
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return systemText();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return systemText();
    if (!S_ISREG(st.st_mode)) return makeError(ErrorCode::NotRegular, "not a regular file");
    if (!lockWhole(fd.get())) return systemText();
    // The holder before us put a new file under the name: the lock that counts is that one's.
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0) return systemText();
    if (named.st_dev != st.st_dev || named.st_ino != st.st_ino) continue;
    std::string old;
    char buffer[4096];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd.get(), buffer, sizeof buffer, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return systemText();
      if (n == 0) break;
      old.append(buffer, static_cast<std::size_t>(n));
      at += n;
      // A counter is a few bytes; anything this long is some other file named by mistake.
      if (old.size() > 65536) return makeError(ErrorCode::Invalid, "the file is too long");
    }
    const Result<std::string> replacement = change(old);
    if (!replacement) return replacement.error();
    // The new text goes to the disk beside the file and then takes its name: a write that
    // stops short (a full disk) or a crash leaves the old text whole, never a mixture of the
    // two that could read as a smaller number. Only the lock holder writes the side file.
    const std::string next = path + ".velkorn-next";
    {
      const Descriptor out(::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                                  st.st_mode & 07777));
      if (out.get() < 0) return systemText();
      (void)::fchmod(out.get(), st.st_mode & 07777);  // as the old file, whatever the umask
      if (!writeAllAt(out.get(), *replacement, 0) || ::fsync(out.get()) != 0) {
        const Error failed = systemText();
        ::unlink(next.c_str());
        return failed;
      }
    }
    if (::rename(next.c_str(), path.c_str()) != 0) {
      const Error failed = systemText();
      ::unlink(next.c_str());
      return failed;
    }
    // The rename itself reaches the disk with the folder.
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) return systemText();
    return {};
  }
}

}  // namespace velkorn::file
