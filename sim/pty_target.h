#pragma once
// velkorn-target's options and files, and the simulated bootloader behind a pseudo-terminal:
// the programmer opens the slave side as if it were the serial port of a board, and the
// model answers on the master side.
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/bootloader.h"
#include "sim/line_target.h"

namespace velkorn::sim {

// Everything the velkorn-target command line can set.
struct TargetOptions {
  DeviceProfile profile;
  Faults faults;
  std::string link;          // "COMn": publish the slave as that port name
  int tcpPort = -1;          // listen on 127.0.0.1 at this port instead (0: any free one)
  int hangUpAfter = 0;       // with tcpPort: close the connection after the n-th byte in
  int delayMs = 0;           // a network's delay, each way
  bool pace = false;         // send at the line rate instead of all at once
  int rateBitsPerSecond = 115200;
  int latencyMs = 0;         // a USB adapter's latency timer on the target's output
  int latencyJitterMs = 0;   // ... plus a random 0..this to each hold
  std::uint32_t seed = 1;    // for the jitter, so that runs repeat
  std::string flashIn;       // binary preset of the flash
  std::string flashOut;      // the flash is written here at the end (a stop signal too)
  bool flashOutLive = false; // ... and after every erase or data record
  bool log = false;          // each record and its answer on stderr
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. On a bad option returns nothing and sets
// `error` to a message naming it.
std::optional<TargetOptions> parseTargetOptions(const std::vector<std::string>& args, std::string& error);
std::string targetUsage();

// The directory that holds the COMn links: $XDG_CONFIG_HOME/velkorn or ~/.config/velkorn.
std::string configDirectory();

// Creates (or replaces) the symbolic link `name` in the configuration directory, pointing
// to `target`. Returns the link's path, or nothing with `error` set.
std::optional<std::string> createPortLink(const std::string& name, const std::string& target,
                                          std::string& error);
// Removes the link, but only while it still points to `target` (another target may have
// taken the name over since).
void removePortLink(const std::string& linkPath, const std::string& target);

// Writes the flash (flashSize bytes) to `path` through a temporary file and a rename, so
// that a reader never sees half a dump.
bool writeFlashFile(const std::string& path, const Bootloader& model, std::string& error);
// Presets the flash from a binary file no larger than the flash.
bool readFlashFile(const std::string& path, Bootloader& model, std::string& error);

class PtyTarget final : public LineTarget {
 public:
  explicit PtyTarget(Bootloader& model) : LineTarget(model) {}
  ~PtyTarget() override;

  // Creates the pseudo-terminal and puts its slave side in raw mode.
  bool open(std::string& error);
  const std::string& slavePath() const { return slavePath_; }

  // Called when bytes arrive at another rate than the last ones: the rate the programmer's
  // side (or a network serial server) set on the port, in bit/s (0 when unknown).
  std::function<void(int bitsPerSecond)> onLineRate;

 protected:
  int lineFd() const override { return master_; }
  bool onLineEnd() override { return false; }
  void onInput() override;
  Clock::time_point housekeeping(Clock::time_point now) override;

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so that the master never sees a hang-up between clients
  std::string slavePath_;
  int lineRate_ = -1;

  void releaseStaleExclusive();
};

}  // namespace velkorn::sim
