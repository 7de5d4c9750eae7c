#pragma once
// The programmer's engine: command records and their exchange with the bootloader,
// synchronisation and device information, erase, programming, read-back, verification,
// boot configuration and the HEX loader. Free of Qt and of hardware: it reaches the line,
// the person and the clock through Link, Prompts, Progress, DeviceState and Clock. Every
// command returns an Outcome; showing it is the caller's business.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/images.h"
#include "isp/clock.h"
#include "isp/link.h"
#include "isp/outcome.h"
#include "isp/person.h"
#include "isp/records.h"
#include "isp/stop_flag.h"

namespace velkorn::isp {

// What the last device-information read brought, as the Device tab shows it.
struct DeviceInfo {
  std::string manu, devFam, mem, product;  // identification values as the bootloader sent them
  std::string bsb, sbv, hsb, bversion;     // boot status, vector, HW security, bootloader version
  bool lock0 = false;  // the chip locks erase and programming
  bool lock1 = false;  // the chip locks read and blank check too
  bool known = false;  // a device of the table: hardware security and version were read
};

// Bounds for the waits the bootloader could otherwise hold open for ever.
inline constexpr std::chrono::milliseconds kEraseAnswerLimit{30000};
inline constexpr std::chrono::milliseconds kDataAnswerLimit{5000};   // data records
inline constexpr std::chrono::milliseconds kBlankAnswerLimit{5000};  // blank check
// Answers collected with stop character 0 end at a pause this long. A healthy answer ends
// by its "." or "X" or its fixed length long before; a USB adapter or a network server can
// hold the bytes of one answer back for several milliseconds.
inline constexpr std::chrono::milliseconds kAnswerGapLimit{100};
// Before a record goes out again after an error box, the line is drained until it has been
// silent this long, so a late answer cannot pass for the answer to the next record; a line
// that never falls silent is given up on after kDrainLimit.
inline constexpr std::chrono::milliseconds kDrainSilence{150};
inline constexpr std::chrono::milliseconds kDrainLimit{2000};
// The synchronisation's flush reads at most this long in one attempt, so the cancel flag
// and the time limit are looked at even on a line that never falls silent.
inline constexpr std::chrono::milliseconds kSyncFlushSlice{250};

// How far the read-back trusts its answers, which carry no checksum. Read twice, each
// block's answer is read again and must agree; a block that disagrees is read again up to
// `retries` more times before its bytes count as not read.
struct ReadCheck {
  bool twice = false;
  int retries = 0;
  // Find the blank runs by blank checks (a run counts as blank when two checks agree) and
  // read only the other blocks.
  bool skipBlank = false;
};

// How program and verify compare the chip with the file.
enum class Verification {
  WholeChip,  // read every block back
  DataOnly,   // read the blocks that hold file data; blank-check the runs between them
};

// Whether a command may stop to ask the operator.
enum class Asking {
  Operator,  // the open dialog for a missing file, the question on a chip that is not blank
  Never,     // Reload and the command line: the remembered file, no question
};

// Where program and verify stop comparing: 0xFC00, or the chip's end when that comes first.
int comparisonLimit(int chipSize);

class Engine {
 public:
  Engine(Link& link, Prompts& prompts, Progress& progress, DeviceState& device, Clock& clock);

  // ---- shared state (owned here, shown by the window)
  MemoryImages& images() { return images_; }
  const DeviceInfo& device() const { return device_; }
  StopFlag downloadAbort;      // the download abort flag
  std::int32_t replyLimit = 0; // reply length limit; 0 = default (1024)
  std::string hexFileName;     // the remembered HEX file name (open dialog, Reload, settings)
  int bootloaderRate = kBootloaderBaud;  // bit/s of the synchronisation and every record
  // How far a device-information answer is trusted. The window shows each value as it came
  // (an answer that was not a value only marks the outcome's information incomplete); the
  // command line prints them, so it asks a record again after the box until two well-formed
  // answers agree, and ends the command when the box is cancelled.
  enum class InfoCheck { AsShown, Confirmed };
  InfoCheck infoCheck = InfoCheck::AsShown;
  bool busy() const { return busy_; }  // a chip operation or a load is running
  // The last record sent, checksum included: a box about the same record twice in a row
  // is a retry of it.
  const std::string& lastRecord() const { return lastRecord_; }

  // ---- records and exchange
  void FlushInput();
  static std::string AppendChecksum(std::string_view record);
  void SendRecord(std::string& record, bool withChecksum);
  std::string ExchangeRecord(const std::string& record, bool withChecksum, char stop);
  // What one exchange brought: the reply after the echo, and whether the echo was missing
  // (the "Error in cmd " box was shown for it).
  struct Exchanged {
    std::string reply;
    bool echoMissing = false;
  };
  Exchanged exchange(const std::string& record, bool withChecksum, char stop);
  static std::string ReplyValue(const std::string& reply);

  // ---- commands, by what they do. A command started while another one runs (a menu
  // entry reached through the message loop or a modal box) does nothing and returns
  // Aborted.
  Outcome sync();                                  // the "Sync" button; starts every chip command
  Outcome readDeviceInfo(bool quiet);              // double click on "&Identification"
  Outcome erase();                                 // "Full Chip &Erase"
  Outcome program(Asking asking = Asking::Operator,
                  Verification verification = Verification::WholeChip);  // "&Program && Verify"
  Outcome reload(Verification verification = Verification::WholeChip);  // "Reload": load, program
  Outcome readChip(ReadCheck check = {});          // "&Read Chip"
  Outcome verify(Asking asking = Asking::Operator,
                 Verification verification = Verification::WholeChip);  // "Verify File"
  Outcome writeBootConfig();                       // "Program SSB+&BSB"
  Outcome loadHexFile(Asking asking = Asking::Operator);  // "&Load File"

  // ---- progress and errors
  void UpdateProgress(std::int32_t position, std::int32_t total, std::int32_t bytesPerStep);
  // The error box; Cancel raises the download abort flag.
  Button ShowError(const std::string& text, bool cancellable);

 private:
  // Entry guard of the commands: only the outermost one runs and owns busy_ and the run's
  // state; an exception passing through still clears them.
  class CommandGuard {
   public:
    explicit CommandGuard(Engine& engine);
    ~CommandGuard();
    CommandGuard(const CommandGuard&) = delete;
    CommandGuard& operator=(const CommandGuard&) = delete;
    bool entered() const { return entered_; }

   private:
    Engine& engine_;
    bool entered_ = false;
  };

  // State of one command run, fresh for each.
  struct Run {
    bool reload = false;          // no open dialog and no question (Reload, command line)
    std::uint32_t startTick = 0;  // start of the running long operation, in ms
    // The last write or read call of the line that failed, if one did: a line that failed
    // carries nothing more this run.
    std::optional<Error> linkFailure;
    bool linkFailed() const { return linkFailure.has_value(); }
    int echoErrors = 0;           // "Error in cmd " boxes shown
    bool infoIncomplete = false;  // a device-information record got no well-formed answer
    // The abort flag rose while the engine waited on the line (Abort, Exit, an interrupt):
    // the rest of the run sends nothing more and shows no box, and the command is aborted.
    bool waitAborted = false;
  };

  // Unguarded implementations, for calls made inside a running command.
  Outcome syncTarget();
  Outcome readInfo(bool quiet);
  Outcome eraseChip();
  Outcome programImage(Verification verification);
  // Whether the file image fits the chip (no byte at or past its size) and, when
  // `needsData`, holds anything at all; a FileError saying which when not.
  Outcome fileFits(bool needsData) const;

  // ---- read-back (read_back.cpp)
  struct ReadTally;
  enum class BlockRead { Done, Again };  // Again: the same block is to be asked for again
  // What a blank check said of a run of blocks.
  struct BlankRun {
    enum Kind { Blank, DataAt, Refused, Unsure, Cancelled } kind;
    int address = -1;  // DataAt: the first byte that is not erased
  };
  // `complete`: every block up to the chip size was read (not aborted, not stopped).
  Outcome readBack(const std::string& title, bool compare, bool* complete, ReadCheck check = {});
  // Program and verify reading only the blocks that hold file data below the comparison
  // limit; each run of blocks between them is blank-checked, and an address the check
  // names is confirmed by reading its block.
  Outcome verifyDataOnly(const std::string& title, bool* complete);
  // One read request; its bytes go into the chip image and (with `compare`) are compared.
  BlockRead readBlock(int block, bool compare, const ReadCheck& check, ReadTally& tally);
  // Reads the block again until two complete answers in a row agree (the first read counts
  // when it was complete); the agreed bytes go into the chip image. False when none agree.
  bool confirmBlock(int block, bool firstComplete, int retries);
  // One blank check of first..last, asked again after a box while its answer is not in form.
  BlankRun blankCheck(int first, int last);
  // Blank checks until two in a row agree (at most retries + 2); Unsure when none do.
  BlankRun agreedBlankCheck(int first, int last, int retries);
  // Bytes the blank checks vouch for: erased in the chip image.
  void markErased(int from, int to);
  // The start of every read-back: progress window, a quiet line, the read's reply limit and
  // a chip image that holds nothing read yet; and its end.
  void startRead(const std::string& title, int total);
  Outcome endRead(const ReadTally& tally, bool complete);
  Outcome tallied(const ReadTally& tally, bool complete) const;
  Outcome bootConfig();
  Outcome loadFile();
  // The outcome as the command hands it out: a failure on a line that failed is LinkLost,
  // and the run's echo errors are counted in.
  Outcome finish(Outcome outcome) const;

  // One wait on the line: lets the window's messages run while it lasts, and tells whether
  // the abort flag rose meanwhile (see engine.cpp).
  class Wait;
  // Whether the run is to stop sending: a wait already ended by Abort, or the person's stop
  // (Progress::stopRequested), which is then taken as such a wait.
  bool stopRequested();

  // Reads and drops what the line brings until it has been silent for `silence` (at least
  // one read time-out), or `limit` has passed, or (when watched) the sync cancel flag rises;
  // returns how many bytes it dropped.
  int drain(std::chrono::milliseconds silence, std::chrono::milliseconds limit, bool watchSyncCancel);

  // The answer to one "U": at most one byte, waiting up to the link's answer-start limit.
  Result<LinkRead> readAutobaudAnswer();
  // Notes a failed write or read call of the line for the rest of the run.
  void linkCallFailed(const Error& error);

  // One device-information record: exchanged with stop character 0, its value shown.
  // Nothing when the record never got a trusted answer (InfoCheck::Confirmed only); `answer`
  // then holds the last one.
  std::optional<std::string> readValue(const char* record, DeviceField field, std::string DeviceInfo::*member,
                                       std::string* answer);
  // The value of one device-information record as the bootloader sent it, and whether the
  // reply was exactly the echo and a value ("58.") or the refusal ("X").
  struct InfoAnswer {
    std::string reply;  // what came after the echo (the whole reply when it had none)
    bool wellFormed = false;
  };
  InfoAnswer askInfo(const char* record);
  std::optional<std::string> confirmedValue(const char* record, std::string* answer);

  Link& link_;
  Prompts& prompts_;
  Progress& progress_;
  DeviceState& deviceState_;
  Clock& clock_;
  MemoryImages images_;
  DeviceInfo device_;
  Run run_;
  std::string lastRecord_;
  bool drainPending_ = false;  // an error box was shown since the last record went out
  bool busy_ = false;
};

}  // namespace velkorn::isp
