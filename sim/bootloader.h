#pragma once
// A software model of the chip's resident serial bootloader: autobaud on "U", an echo of
// every record character, answers ending in "." or "X", and a flash that programming can
// only clear bits of. It is fed the bytes the programmer sends and hands back the bytes the
// chip would send. The same model runs in-process for engine tests and behind a
// pseudo-terminal in the velkorn-target program.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velkorn::sim {

struct DeviceProfile {
  std::uint8_t manufacturer = 0x58;
  std::uint8_t family = 0xD7;
  std::uint8_t product = 0xFF;       // 0xFF and 0xEF are the two known products
  std::uint8_t memoryCode = 0xFC;    // 0xF7: 32 KiB part
  // Software security byte: bit 0 clear locks erase and programming ("Lock Erase, Prog."),
  // bit 4 clear locks reading and the blank check too. A full chip erase sets both again.
  std::uint8_t securityByte = 0xFF;
  std::uint8_t bootStatus = 0xFF;    // BSB
  std::uint8_t bootVector = 0xFC;    // SBV
  std::uint8_t hardwareSecurity = 0xFB;  // HSB
  std::uint8_t bootloaderVersion = 0x12;
  int flashSize() const { return memoryCode == 0xF7 ? 0x8000 : 0x10000; }
  bool programmingLocked() const { return (securityByte & 0x01) == 0 || readingLocked(); }
  bool readingLocked() const { return (securityByte & 0x10) == 0; }
};

// Faults for tests. Counts are 1-based; 0 means off.
struct Faults {
  int refuseDataRecord = 0;     // answer "X" to the n-th data record, once
  int silentAfterRecords = 0;   // stop answering anything after n complete records
  int dropEchoOfRecord = 0;     // send no echo (only the answer) for the n-th record
  int garbleReadBlock = 0;      // corrupt one data digit of the n-th read answer
  int shortReadBlock = 0;       // answer the n-th read request one character short
  int eraseDelayMs = 0;         // the erase answer comes this much later
  bool refuseErase = false;
  char garbleReadWith = 'G';    // what replaces the first data digit of the garbled read line
  // Blank-check answers carry no checksum: the n-th one (counted over every range asked)
  // is neither "." nor an address ("." becomes "G.", "1234\r\n" becomes "12G4\r\n"),
  // comes lateByMs after its echo, or never comes.
  int garbleBlankCheck = 0;
  int lateBlankCheck = 0;
  int lateByMs = 6000;          // past the programmer's 5 s wait for the answer
  int dropBlankCheck = 0;
  // The n-th blank check answers "." whatever the range holds: a lie the programmer can only
  // catch by asking again.
  int lieBlankCheck = 0;
  // Security and boot configuration writes that do not take: the record is answered "X"
  // (refuse...) or "." (forgetLocks) and the chip keeps what it had.
  bool refuseLock0 = false;     // :020000030500F6, "Lock Erase, Prog."
  bool refuseLock1 = false;     // :020000030501F5, "... Read, Blank Check"
  bool refuseBljb = false;      // both BLJB records
  bool forgetLocks = false;     // both security-level records, answered "."
  // A flash cell that holds stuckValue whatever is programmed or erased there, while data
  // records and the erase are answered "." as ever: 0xFF will not program, 0x00 will not
  // erase. -1: none.
  int stuckCell = -1;
  std::uint8_t stuckValue = 0xFF;
  // Line faults: the n-th byte (1-based, counted since construction) in either direction.
  int dropInputByte = 0;        // the chip never sees this byte from the programmer
  int garbleInputByte = 0;      // the chip sees this byte with its lowest bit flipped
  int dropOutputByte = 0;       // this byte from the chip never reaches the programmer
  int garbleOutputByte = 0;     // this byte reaches the programmer with its lowest bit flipped
};

class Bootloader {
 public:
  explicit Bootloader(DeviceProfile profile = {});

  // One byte from the programmer; the bytes the chip sends back are appended to `out`.
  // `delayMs` (when not null) receives how long the chip takes before those bytes leave,
  // e.g. the erase time; `delayFrom` (when not null), where in `out` the delayed bytes
  // start: the echo before the answer leaves at once.
  void receive(std::uint8_t byte, std::string& out, int* delayMs = nullptr, std::size_t* delayFrom = nullptr);
  std::string receive(std::string_view bytes);  // convenience: all bytes, no delays

  bool synchronised() const { return synced_; }
  // Another board of the same kind in the socket: erased, not synchronised, with `faults`;
  // onRecord stays.
  void newBoard(const Faults& faults);
  void resetSync() { synced_ = false; }

  // The whole 64 KiB flash array (bytes past flashSize() are not reachable).
  std::array<std::uint8_t, 0x10000>& flash() { return flash_; }
  const std::array<std::uint8_t, 0x10000>& flash() const { return flash_; }
  DeviceProfile& profile() { return profile_; }
  const DeviceProfile& profile() const { return profile_; }
  Faults& faults() { return faults_; }

  // Every complete record received, as received (checksum included), in order.
  const std::vector<std::string>& records() const { return records_; }
  void clearRecords() { records_.clear(); }

  // Boot loader jump bit as last written by the BLJB records (initially set).
  bool bljb() const { return bljb_; }
  // Grows whenever the flash contents may have changed (erase, accepted data record).
  std::uint64_t flashChanges() const { return flashChanges_; }
  // Called after each complete record with the record and the answer that followed its echo.
  std::function<void(const std::string& record, const std::string& answer)> onRecord;

 private:
  // defined in bootloader.cpp
  void completeRecord(std::string& out, int* delayMs);
  void receiveByte(std::uint8_t byte, std::string& out, int* delayMs);
  std::string answerRecord(const std::vector<std::uint8_t>& bytes, int* delayMs);
  std::string answerInfo(std::uint8_t hi, std::uint8_t lo) const;
  std::string answerRead(unsigned first, unsigned last);
  std::string answerBlankCheck(unsigned first, unsigned last, int* delayMs);
  std::string answerData(unsigned address, const std::vector<std::uint8_t>& bytes);
  std::string answerErase(int* delayMs);
  std::string answerWrite(const std::vector<std::uint8_t>& data);
  void pinStuckCell();

  DeviceProfile profile_;
  Faults faults_;
  std::array<std::uint8_t, 0x10000> flash_{};
  bool synced_ = false;
  std::string record_;          // the record being received, ':' first
  std::vector<std::string> records_;
  int dataRecords_ = 0;
  int readRequests_ = 0;
  int blankChecks_ = 0;
  std::size_t answerAt_ = 0;    // where the answer starts in the bytes of one receiveByte
  int recordNumber_ = 0;        // 1-based number of the record being received
  int completedRecords_ = 0;
  bool echoRecord_ = true;      // false while the echo of the current record is dropped
  bool silent_ = false;
  bool bljb_ = true;
  std::uint64_t flashChanges_ = 0;
  std::uint64_t inputBytes_ = 0;
  std::uint64_t outputBytes_ = 0;
};

}  // namespace velkorn::sim
