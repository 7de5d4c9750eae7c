#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/console.h"
#include "file/win32_error.h"

namespace velkorn::cli {

namespace {

// A pipe or a file on stdin, read by a thread of its own: an anonymous pipe cannot be waited
// for with a time limit, and Wine's pipes do not even answer PeekNamedPipe. The thread lives
// as long as the process (it may sit in a read that never returns); what it read waits here.
struct StdinReader {
  std::mutex mutex;
  std::condition_variable arrived;
  std::string bytes;
  bool ended = false;
  std::string why;  // set when the read failed, not ended

  static void run(HANDLE in, std::shared_ptr<StdinReader> self) {
    char buffer[4096];
    for (;;) {
      DWORD got = 0;
      const BOOL ok = ::ReadFile(in, buffer, sizeof buffer, &got, nullptr);
      const DWORD error = ok ? 0 : ::GetLastError();
      std::lock_guard lock(self->mutex);
      if (got > 0) self->bytes.append(buffer, got);
      if (!ok || got == 0) {
        self->ended = true;
        if (!ok && error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) self->why = file::win32ErrorText(error);
      }
      self->arrived.notify_all();
      if (self->ended) return;
    }
  }
};

}  // namespace

struct Console::Saved {
  HANDLE in;
  DWORD mode;
  std::shared_ptr<StdinReader> reader;  // stdin that is no console, once read
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
  saved_ = new Saved{::GetStdHandle(STD_INPUT_HANDLE), 0, nullptr};
  if (saved_->in == INVALID_HANDLE_VALUE || saved_->in == nullptr) return;
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
      why_ = file::win32ErrorText(::GetLastError());
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
  if (!saved_->reader) {
    saved_->reader = std::make_shared<StdinReader>();
    std::thread(StdinReader::run, in, saved_->reader).detach();
  }
  StdinReader& reader = *saved_->reader;
  std::unique_lock lock(reader.mutex);
  reader.arrived.wait_for(lock, wait, [&] { return !reader.bytes.empty() || reader.ended; });
  if (!reader.bytes.empty()) {
    bytes += reader.bytes;
    reader.bytes.clear();
    return Input::Bytes;
  }
  if (!reader.ended) return Input::Nothing;
  if (reader.why.empty()) return Input::Ended;
  why_ = reader.why;
  return Input::Failed;
}

bool stdoutIsTerminal() {
  DWORD mode = 0;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return out != INVALID_HANDLE_VALUE && out != nullptr && ::GetConsoleMode(out, &mode) != 0;
}

}  // namespace velkorn::cli
