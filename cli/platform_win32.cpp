#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <vector>

#include "cli/platform.h"

namespace velkorn::cli::platform {
namespace {

std::atomic<bool>* gInterrupted = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && gInterrupted) {
    *gInterrupted = true;
    return TRUE;
  }
  return FALSE;  // closing the console or logging off ends the process as usual
}

}  // namespace

void setUpProcess(std::atomic<bool>& interrupted) {
  gInterrupted = &interrupted;
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  // Messages carry names as UTF-8.
  ::SetConsoleOutputCP(CP_UTF8);
}

void binaryStdout() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool stderrShowsProgressBar() {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err == INVALID_HANDLE_VALUE || !::GetConsoleMode(err, &mode)) return false;  // a file or a pipe
  // The bar redraws its line with escape sequences, which a console shows only when asked to
  // (Windows 10 and later); an older console gets one line per phase.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::vector<std::string> utf8Arguments(int, char**) {
  int count = 0;
  wchar_t** wargs = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wargs && i < count; ++i) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wargs[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, wargs[i], -1, arg.data(), n, nullptr, nullptr);
    args.push_back(std::move(arg));
  }
  ::LocalFree(wargs);
  return args;
}

std::string hostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!::GetComputerNameA(name, &size)) return {};
  return std::string(name, size);
}

}  // namespace velkorn::cli::platform
