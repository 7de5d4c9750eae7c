#include <windows.h>

#include <algorithm>
#include <random>

#include "cli/platform.h"
#include "link/win32_error.h"

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

std::string lastErrorText() { return link::win32ErrorText(::GetLastError()); }

}  // namespace

void setUpProcess(std::atomic<bool>& interrupted) {
  gInterrupted = &interrupted;
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
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

std::optional<std::string> writeTemporaryFile(const std::string& path, const std::string& text, std::string* why) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::mt19937 random(std::random_device{}() ^ ::GetCurrentProcessId() ^ ::GetTickCount());
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kLetters) - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = path + ".velkorn-";
    for (int i = 0; i < 6; ++i) temp.push_back(kLetters[pick(random)]);
    // CREATE_NEW: fails when the name is taken, so no other file is ever opened.
    const HANDLE file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      *why = lastErrorText();
      return std::nullopt;
    }
    std::size_t done = 0;
    std::string error;
    while (done < text.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
      DWORD written = 0;
      if (!::WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) {
        error = lastErrorText();
        break;
      }
      done += written;
    }
    if (!::CloseHandle(file) && error.empty()) error = lastErrorText();
    if (!error.empty()) {
      ::DeleteFileA(temp.c_str());
      *why = error;
      return std::nullopt;
    }
    return temp;
  }
  *why = "no free name for a temporary file beside " + path;
  return std::nullopt;
}

Placed moveIntoPlace(const std::string& temporary, const std::string& path, bool replace, std::string* why) {
  // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that is taken.
  if (::MoveFileExA(temporary.c_str(), path.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return Placed::Done;
  const DWORD code = ::GetLastError();
  if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) return Placed::Exists;
  *why = link::win32ErrorText(code);
  return Placed::Failed;
}

}  // namespace velkorn::cli::platform
