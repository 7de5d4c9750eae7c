#pragma once
// A full disk, as far as this process can tell: while it lives, writes past a few bytes fail
// (a file size limit; the signal that would end the process is ignored). Works as root too.
#include <sys/resource.h>
#include <signal.h>

namespace velkorn::testing {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes = 16) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous_);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::sigaction(SIGXFSZ, &previous_, nullptr);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct sigaction previous_ {};
  rlimit saved_{};
};

}  // namespace velkorn::testing
