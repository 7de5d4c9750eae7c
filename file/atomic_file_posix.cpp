// The atomic write (POSIX).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>

#include "file/atomic_file.h"
#include "file/atomic_file_system.h"
#include "file/system_error.h"

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
    *name = folder + "/" + std::string(kTemporaryPrefix);
    for (std::size_t i = 0; i < kTemporaryRandomChars; ++i) name->push_back(kLetters[pick(random)]);
    const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// What moveIntoPlace reports when something other than a regular file has the name.
Error notRegular() { return makeError(ErrorCode::NotRegular, "not a regular file, which is left as it is"); }

// The rename reaches the disk with the folder. The file is in place already: a folder that
// cannot be synced changes nothing the caller could act on.
void syncFolder(const std::string& path) {
  const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  (void)::fsync(dir);
  ::close(dir);
}

// Puts the file at `temporary` under the name `path` only while that name is free.
Status placeIfFree(const std::string& temporary, const std::string& path) {
  // A hard link refuses a name that is taken, atomically; a file system without hard links
  // gets the same from a rename that does not replace.
  int rc = ::link(temporary.c_str(), path.c_str());
  if (rc != 0 && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS || errno == EMLINK))
    rc = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  if (rc != 0) {
    if (errno == EEXIST) return makeError(ErrorCode::Exists, "the file exists");
    return systemError(errno);
  }
  ::unlink(temporary.c_str());  // gone already after the rename
  syncFolder(path);
  return {};
}

bool unsupported(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

}  // namespace

Status checkOutputPath(const std::string& path) {
  if (path.empty()) return makeError(ErrorCode::Invalid, "no file name");
  const std::string name = nameOf(path);
  if (name.empty() || name == "." || name == "..") return makeError(ErrorCode::Invalid, "names a folder, not a file");
  const std::string folder = folderOf(path);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT) return makeError(ErrorCode::NotFound, "its folder " + folder + " does not exist");
    return systemError(errno, "its folder " + folder);
  }
  if (!S_ISDIR(st.st_mode)) return makeError(ErrorCode::NotFound, folder + " is not a folder");
  const long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  const std::size_t limit = nameMax > 0 ? static_cast<std::size_t>(nameMax) : 255;
  if (name.size() > limit)
    return makeError(ErrorCode::Invalid, "the name is longer than " + std::to_string(limit) + " bytes");
  if (path.size() >= PATH_MAX)
    return makeError(ErrorCode::Invalid, "the path is longer than " + std::to_string(PATH_MAX - 1) + " bytes");
  std::string temp;
  const int fd = createTemporary(folder, &temp);
  if (fd < 0) return systemError(errno, "no file can be created in its folder");
  ::close(fd);
  ::unlink(temp.c_str());
  return {};
}

Result<std::string> writeTemporaryFile(const std::string& path, std::string_view text) {
  std::string temp;
  const int fd = createTemporary(folderOf(path), &temp);
  if (fd < 0) return systemError(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  int err = done < text.size() ? (errno != 0 ? errno : EIO) : 0;
  // The text reaches the disk before the file takes the name: a crash right after the
  // rename would otherwise leave an empty file where the old one was.
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return makeError(ErrorCode::NotWritten, std::strerror(err));
  }
  return temp;
}

Status moveIntoPlace(const std::string& temporary, const std::string& path, bool replace) {
  if (!replace) return placeIfFree(temporary, path);
  struct stat old {};
  if (::lstat(path.c_str(), &old) != 0) {
    if (errno != ENOENT) return systemError(errno);
    return placeIfFree(temporary, path);
  }
  if (!S_ISREG(old.st_mode)) return notRegular();
  // The new file keeps who may read the file it replaces (a key, a customer's firmware).
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
    if (!unsupported(err)) return systemError(err);
    // A file system without exchanges: the plain rename right after the look.
    if (::rename(temporary.c_str(), path.c_str()) != 0) return systemError(errno);
    syncFolder(path);
    return {};
  }
  struct stat replaced {};
  if (::lstat(temporary.c_str(), &replaced) == 0 && !S_ISREG(replaced.st_mode)) {
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0)
      return systemError(errno, "a file swapped in could not be put back");
    return notRegular();
  }
  ::unlink(temporary.c_str());
  syncFolder(path);
  return {};
}

void removeTemporary(const std::string& temporary) { ::unlink(temporary.c_str()); }

}  // namespace velkorn::file
