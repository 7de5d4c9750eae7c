// Output files written beside their destination and moved into place (POSIX).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>

#include "file/atomic_file.h"

namespace velkorn::file {
namespace {

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A new file in `folder` under a free temporary name, for us alone (O_EXCL, never through a
// link), with the mode a new file gets: 0666 less the umask. The descriptor, or -1 with errno.
int createTemporary(const std::string& folder, std::string* name) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kLetters) - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = folder + "/.velkorn-";
    for (int i = 0; i < 6; ++i) name->push_back(kLetters[pick(random)]);
    const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Puts the file at `temporary` under the name `path` only while that name is free.
Placed placeIfFree(const std::string& temporary, const std::string& path, std::string* why) {
  // A hard link refuses a name that is taken, atomically; a file system without hard links
  // gets the same from a rename that does not replace.
  int rc = ::link(temporary.c_str(), path.c_str());
  if (rc != 0 && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EMLINK))
    rc = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  if (rc != 0) {
    if (errno == EEXIST) return Placed::Exists;
    *why = std::strerror(errno);
    return Placed::Failed;
  }
  ::unlink(temporary.c_str());  // gone already after the rename
  return Placed::Done;
}

bool unsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

}  // namespace

std::optional<std::string> outputProblem(const std::string& path) {
  if (path.empty()) return "no file name";
  const std::string name = nameOf(path);
  if (name.empty() || name == "." || name == "..") return "names a folder, not a file";
  const std::string folder = folderOf(path);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT) return "its folder " + folder + " does not exist";
    return "its folder " + folder + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  const long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  const std::size_t limit = nameMax > 0 ? static_cast<std::size_t>(nameMax) : 255;
  if (name.size() > limit) return "the name is longer than " + std::to_string(limit) + " bytes";
  if (path.size() >= PATH_MAX) return "the path is longer than " + std::to_string(PATH_MAX - 1) + " bytes";
  std::string temp;
  const int fd = createTemporary(folder, &temp);
  if (fd < 0) return "no file can be created in its folder: " + std::string(std::strerror(errno));
  ::close(fd);
  ::unlink(temp.c_str());
  return std::nullopt;
}

std::optional<std::string> writeTemporaryFile(const std::string& path, const std::string& text, std::string* why) {
  std::string temp;
  const int fd = createTemporary(folderOf(path), &temp);
  if (fd < 0) {
    *why = std::strerror(errno);
    return std::nullopt;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const int writeErr = done < text.size() ? (errno != 0 ? errno : EIO) : 0;
  const bool closed = ::close(fd) == 0;
  const int closeErr = errno;
  if (writeErr != 0 || !closed) {
    ::unlink(temp.c_str());
    *why = std::strerror(writeErr != 0 ? writeErr : closeErr);
    return std::nullopt;
  }
  return temp;
}

Placed moveIntoPlace(const std::string& temporary, const std::string& path, bool replace, std::string* why) {
  if (!replace) return placeIfFree(temporary, path, why);
  struct stat old {};
  if (::lstat(path.c_str(), &old) != 0) {
    if (errno != ENOENT) {
      *why = std::strerror(errno);
      return Placed::Failed;
    }
    return placeIfFree(temporary, path, why);
  }
  if (!S_ISREG(old.st_mode)) return Placed::NotRegular;
  // The dump keeps who may read the file it replaces (a key, a customer's firmware).
  ::chmod(temporary.c_str(), old.st_mode & 0777);
  // Run by root, the owner is kept too. Where that fails (a file system without owners) the
  // new file is root's: the old group's rights would go to root's group, so they are dropped.
  if (::geteuid() == 0 && ::chown(temporary.c_str(), old.st_uid, old.st_gid) != 0) {
    ::chmod(temporary.c_str(), old.st_mode & 0707);
  }
  // An exchange, then a look at what came out: something swapped in since the look above
  // (a symbolic link, a device) is put back as it was, never replaced.
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
    const int err = errno;
    if (!unsupported(err)) {
      *why = std::strerror(err);
      return Placed::Failed;
    }
    // A file system without exchanges: the plain rename right after the look.
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      *why = std::strerror(errno);
      return Placed::Failed;
    }
    return Placed::Done;
  }
  struct stat replaced {};
  if (::lstat(temporary.c_str(), &replaced) == 0 && !S_ISREG(replaced.st_mode)) {
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
      *why = std::string("a file swapped in could not be put back: ") + std::strerror(errno);
      return Placed::Failed;
    }
    return Placed::NotRegular;
  }
  ::unlink(temporary.c_str());
  return Placed::Done;
}

}  // namespace velkorn::file
