#pragma once
// velkorn-target as the benchmarks start it: a child process whose first line on stdout
// names its port.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace velkorn::bench {

struct TargetProcess {
  pid_t pid = -1;
  std::string port;  // empty when it did not start
};

inline TargetProcess startTargetProcess(const std::string& program, const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  return {pid, line};
}

inline void stopTargetProcess(const TargetProcess& target) {
  if (target.pid <= 0) return;
  kill(target.pid, SIGTERM);
  waitpid(target.pid, nullptr, 0);
}

}  // namespace velkorn::bench
