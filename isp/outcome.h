#pragma once
// What a chip command or a HEX load ended in. The engine states it; the window turns it
// into its boxes, tab changes and the hand-back to the terminal, the command line into its
// exit status and result lines. Nothing else decides whether a command succeeded.
#include <string>

namespace velkorn::isp {

enum class OutcomeKind {
  Done,         // everything the command set out to do happened (retried records included)
  Refused,      // the bootloader did not accept a record: `record`, `answer`
  Mismatch,     // the chip differs from the file: first differing `address`, `count` seen
  NotVerified,  // read-back lines or blocks could not be read: first `address`, `count` lines
  Aborted,      // the Abort button, a cancelled file dialog, or a command already running
  NoSync,       // the bootloader never sent "U" back
  LinkLost,     // the line failed a write or a read call: `detail` is the reason when known
  FileError,    // the HEX file cannot be used: see `fileFault`
  BadAnswer,    // a device-information answer that is no hexadecimal number: `detail`
};

// What is wrong with a HEX file.
enum class FileFault {
  None,
  CannotOpen,  // missing, unreadable, or not a regular file: `detail` is the reason
  TooLarge,    // over the size limit; refused before anything was read (its box was shown)
  BadLine,     // `line` is the first line whose box was shown
  PastChip,    // data at or past the chip's size: `address` is the first such byte
  NoData,      // the file holds no data bytes: programming it would only erase the chip
};

// The step of a command where it ended; the window picks its closing box by it.
enum class Step { None, Sync, DeviceInfo, Load, BlankCheck, Erase, Program, ReadBack, FinalCompare, BootConfig };

struct Outcome {
  OutcomeKind kind = OutcomeKind::Done;
  Step step = Step::None;
  std::string record;   // Refused: the record as sent, checksum included
  std::string answer;   // Refused: the answer after the echo
  int address = -1;     // Mismatch, NotVerified, FileError (PastChip): the first address concerned
  int count = 0;        // Mismatch: differing bytes seen; NotVerified: lines or blocks not read;
                        // FileError (PastChip): the chip's size
  FileFault fileFault = FileFault::None;  // FileError: what is wrong with the file
  int line = 0;         // FileError: the first bad line of the file; 0 for the file as a whole
  std::string file;     // FileError: the file's name
  std::string detail;   // LinkLost, FileError: the system's reason; BadAnswer: the answer
  int echoErrors = 0;   // records of the run whose echo did not come back ("Error in cmd ")
  std::string lineError;  // why a write or read call of the line failed during the run, if one did
  long long nulAt = -1;  // HEX load: the file's offset where a NUL byte ended its text, -1: none
  bool infoIncomplete = false;  // a device-information record got no echo or no well-formed
                                // value: what the Device tab shows is not all the chip's
  bool declined = false;  // program: the operator kept a chip that is not blank; only the
                          // boot configuration ran, and the outcome is its outcome
  // Boot configuration: the first lock or boot-jump record that was not accepted ("X", no
  // answer, or something else), although the closing record was. The closing record decides
  // the outcome; the caller decides whether the setting it asked for matters more.
  std::string settingRecord, settingAnswer;
  bool bootWritten = false;  // the boot configuration's closing record was accepted and the
                             // device information read again: the line can go back to
                             // the terminal (also after a difference that the final
                             // comparison leaves out)

  bool done() const { return kind == OutcomeKind::Done; }

  static Outcome ofKind(OutcomeKind kind, Step step) {
    Outcome o;
    o.kind = kind;
    o.step = step;
    return o;
  }
};

}  // namespace velkorn::isp
