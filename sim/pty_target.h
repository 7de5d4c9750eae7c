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
  bool replaceLink = false;  // ... even where a COMn link exists (it is put back at the end)
  int tcpPort = -1;          // listen on 127.0.0.1 at this port instead (0: any free one)
  int hangUpAfter = 0;       // with tcpPort: close the connection after the n-th byte in
  bool rfc2217 = false;      // with tcpPort: serve the Telnet COM-PORT-OPTION
  bool needsReset = false;   // with rfc2217: no bootloader until DTR went low and high
  int delayMs = 0;           // a network's delay, each way
  bool pace = false;         // send at the line rate instead of all at once
  int rateBitsPerSecond = 0;  // --pace at this rate; 0: at the rate the programmer set
  int latencyMs = 0;         // a USB adapter's latency timer on the target's output
  int latencyJitterMs = 0;   // ... plus a random 0..this to each hold
  std::uint32_t seed = 1;    // for the jitter, so that runs repeat
  std::string flashIn;       // binary preset of the flash
  std::string flashOut;      // the flash is written here at the end (a stop signal too)
  bool flashOutLive = false; // ... and after every erase or data record
  bool log = false;          // each record and its answer on stderr
  std::string appLine;       // the chip's application prints this line ("@": its number)
  int appEveryMs = 100;      // ... every this many ms while it runs
  int appRate = 0;           // ... at this rate (0: whatever the line's rate is)
  bool appRunning = false;   // the application runs from the start, not the bootloader
  bool absent = false;       // no board in the socket at the start (SIGUSR1 inserts one)
  int badBoard = 0;          // the n-th board inserted refuses its first data record
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. On a bad option returns nothing and sets
// `error` to a message naming it.
std::optional<TargetOptions> parseTargetOptions(const std::vector<std::string>& args, std::string& error);
std::string targetUsage();

// A COMn link that velkorn-target made, and the one it stands in for while it runs.
struct PortLink {
  std::string path;      // the link in the configuration directory
  std::string target;    // where it points: the pseudo-terminal
  std::string replaced;  // where the link pointed before --replace; empty when there was none
};

// Creates the symbolic link `name` in the configuration directory, pointing to `target`. A
// COMn that exists is the user's pin to a board (or another target's): it is left alone and
// named in `error`, unless `replace` is set; a file that is no symbolic link is never
// replaced. Returns the link, or nothing with `error` set.
std::optional<PortLink> createPortLink(const std::string& name, const std::string& target, bool replace,
                                       std::string& error);
// Takes the link away, but only while it still points to its target (another target may
// have taken the name over since); a link it replaced is put back.
void removePortLink(const PortLink& link);

// Writes the flash (flashSize bytes) to `path` through the one atomic write of file/, so
// that a reader never sees half a dump; only a regular file there is replaced.
bool writeFlashFile(const std::string& path, const Bootloader& model, std::string& error);
// Why --flash-out cannot name `path` (something there that is not a regular file); nothing
// when it can, asked before the target starts.
std::optional<std::string> flashOutProblem(const std::string& path);
// Presets the flash from a binary file no larger than the flash; a regular file only (a
// folder, a FIFO or a device is refused at once, never waited on).
bool readFlashFile(const std::string& path, Bootloader& model, std::string& error);

class PtyTarget final : public LineTarget {
 public:
  explicit PtyTarget(Bootloader& model) : LineTarget(model) {}
  ~PtyTarget() override;

  // Creates the pseudo-terminal and puts its slave side in raw mode.
  bool open(std::string& error);
  const std::string& slavePath() const { return slavePath_; }

  // The chip measures the rate from each "U": the rate the programmer's side (or a network
  // serial server) set on the port when a "U" arrives is the chip's rate from then on. With
  // pacing at the line rate on, the answers leave at it (until a rate is known, at the
  // pace set before).
  void paceAtLineRate(bool on) { paceAtLineRate_ = on; }
  // Called when a "U" arrives at another rate than the last one, in bit/s (0 when unknown).
  std::function<void(int bitsPerSecond)> onLineRate;

 protected:
  int lineFd() const override { return master_; }
  bool onLineEnd() override { return false; }
  void onInput(std::string_view bytes) override;
  Clock::time_point housekeeping(Clock::time_point now) override;
  int lineRateNow() const override;
  bool programmerPresent() const override;

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so that the master never sees a hang-up between clients
  std::string slavePath_;
  int lineRate_ = -1;
  bool paceAtLineRate_ = false;

  void releaseStaleExclusive();
};

}  // namespace velkorn::sim
