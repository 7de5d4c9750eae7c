#include <windows.h>

#include "cli/console.h"
#include "link/win32_error.h"

namespace velkorn::cli {

struct Console::Saved {
  HANDLE in;
  DWORD mode;
  DWORD type;  // FILE_TYPE_CHAR, FILE_TYPE_PIPE, FILE_TYPE_DISK
};

namespace {

// A key's character as UTF-8: the board gets what the person typed, whatever the code page.
void appendUtf8(std::string& bytes, wchar_t c) {
  char utf8[4];
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, &c, 1, utf8, sizeof utf8, nullptr, nullptr);
  if (n > 0) bytes.append(utf8, static_cast<std::size_t>(n));
}

}  // namespace

Console::Console() {
  saved_ = new Saved{::GetStdHandle(STD_INPUT_HANDLE), 0, FILE_TYPE_UNKNOWN};
  if (saved_->in == INVALID_HANDLE_VALUE || saved_->in == nullptr) return;
  saved_->type = ::GetFileType(saved_->in);
  if (!::GetConsoleMode(saved_->in, &saved_->mode)) return;
  // Every key as it is typed: no line editing, no echo, Ctrl+C as a byte for the board.
  DWORD raw = saved_->mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
  // Arrow and function keys as the escape sequences a terminal sends, where the console
  // knows them (Windows 10 and later); older consoles give their characters only.
  if (!::SetConsoleMode(saved_->in, raw | ENABLE_VIRTUAL_TERMINAL_INPUT) && !::SetConsoleMode(saved_->in, raw)) return;
  keyboard_ = true;
}

Console::~Console() {
  if (keyboard_) ::SetConsoleMode(saved_->in, saved_->mode);
  delete saved_;
}

Console::Input Console::read(std::string& bytes, std::chrono::milliseconds wait) {
  const HANDLE in = saved_->in;
  if (in == INVALID_HANDLE_VALUE || in == nullptr) return Input::Ended;
  const auto waitMs = static_cast<DWORD>(wait.count());
  if (keyboard_) {
    if (::WaitForSingleObject(in, waitMs) != WAIT_OBJECT_0) return Input::Nothing;
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!::ReadConsoleInputW(in, records, 64, &count)) {
      why_ = link::win32ErrorText(::GetLastError());
      return Input::Failed;
    }
    const std::size_t before = bytes.size();
    for (DWORD i = 0; i < count; ++i) {
      const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
      // Focus, mouse and size events and key releases carry nothing for the board.
      if (records[i].EventType != KEY_EVENT || !key.bKeyDown || key.uChar.UnicodeChar == 0) continue;
      for (WORD r = 0; r < (key.wRepeatCount ? key.wRepeatCount : 1); ++r) appendUtf8(bytes, key.uChar.UnicodeChar);
    }
    return bytes.size() > before ? Input::Bytes : Input::Nothing;
  }
  char buffer[4096];
  DWORD got = 0;
  if (saved_->type == FILE_TYPE_PIPE) {
    // A pipe cannot be waited for: look whether bytes are there, else rest a while.
    DWORD available = 0;
    if (!::PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_BROKEN_PIPE) return Input::Ended;
      why_ = link::win32ErrorText(error);
      return Input::Failed;
    }
    if (available == 0) {
      ::Sleep(waitMs);
      return Input::Nothing;
    }
    if (available < sizeof buffer) {
      if (!::ReadFile(in, buffer, available, &got, nullptr)) return Input::Ended;
    } else if (!::ReadFile(in, buffer, sizeof buffer, &got, nullptr)) {
      return Input::Ended;
    }
  } else if (!::ReadFile(in, buffer, sizeof buffer, &got, nullptr)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return Input::Ended;
    why_ = link::win32ErrorText(error);
    return Input::Failed;
  }
  if (got == 0) return Input::Ended;
  bytes.append(buffer, got);
  return Input::Bytes;
}

bool stdoutIsTerminal() {
  DWORD mode = 0;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return out != INVALID_HANDLE_VALUE && out != nullptr && ::GetConsoleMode(out, &mode) != 0;
}

}  // namespace velkorn::cli
