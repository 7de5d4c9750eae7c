#pragma once
// The program the simulated chip runs when it is not in its bootloader: it prints a line of
// its own every so often, from the moment it starts, and answers each line it is sent, so
// that a programmer can start it after programming and watch it (program, run, watch).
#include <chrono>
#include <string>
#include <string_view>

namespace velkorn::sim {

class Application {
 public:
  Application() = default;
  // `line` is printed every `every`, CR LF after it; its first "@" becomes the number of the
  // line since the start, 000 to 999 and then 000 again. An empty line: no application.
  Application(std::string line, std::chrono::milliseconds every) : line_(std::move(line)), every_(every) {}

  bool present() const { return !line_.empty(); }
  std::chrono::milliseconds every() const { return every_; }
  // The program starts (again) from its beginning: the count from 000, nothing half typed.
  void start() {
    count_ = 0;
    typed_.clear();
  }
  // The line that is due now.
  std::string nextLine();
  // What the program answers to bytes it receives: each line (ended by CR or LF) is answered
  // with "got " and the line, CR LF; an empty line is not answered.
  std::string receive(std::string_view bytes);

 private:
  static constexpr std::size_t kMaxTyped = 256;  // a line longer than this is answered in pieces

  std::string line_;
  std::chrono::milliseconds every_{100};
  int count_ = 0;
  std::string typed_;
};

}  // namespace velkorn::sim
