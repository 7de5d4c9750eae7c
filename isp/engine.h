#pragma once
// The programmer's engine: command records and their exchange with the bootloader,
// synchronisation and device information, erase, programming, read-back, verification,
// boot configuration and the HEX loader. Free of Qt and of hardware: it reaches the line,
// the person and the clock through Link, Operator and Clock. The window's menu handlers
// and the command line call these operations by the names of their menu commands.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/images.h"
#include "isp/clock.h"
#include "isp/link.h"
#include "isp/operator.h"

namespace velkorn::isp {

// What the Device tab shows and the three check boxes of the "&Software security" group.
// The window keeps lock0, lock1 and bljb in step with its check boxes (the operator may
// tick them); ReadDeviceInfo writes lock0 and lock1 from the chip and reports them through
// Operator::lockBoxes, and the boot configuration sends its records from these three.
struct DeviceInfo {
  std::string manu, devFam, mem, product;  // identification values as the bootloader sent them
  std::string bsb, sbv, hsb, bversion;     // boot status, vector, HW security, bootloader version
  bool lock0 = false;  // cbLock0 "Lock Erase, Prog."
  bool lock1 = false;  // cblock1 "Lock Erase, Prog., Read, Blank Check"
  bool bljb = true;    // cbBLJB "BLJB", ticked at start
};

// Bounds for the waits the bootloader could otherwise hold open for ever.
inline constexpr std::chrono::milliseconds kEraseAnswerLimit{30000};
inline constexpr std::chrono::milliseconds kDataAnswerLimit{5000};   // data records
inline constexpr std::chrono::milliseconds kBlankAnswerLimit{5000};  // blank check

class Engine {
 public:
  Engine(Link& link, Operator& op, Clock& clock);

  // ---- shared state (owned here, shown by the window)
  MemoryImages& images() { return images_; }
  DeviceInfo& device() { return device_; }
  int downloadAbort = 0;       // download abort flag: 1 raised, 0 lowered
  bool matchFlag = false;      // no difference seen by the last compare
  std::int32_t replyLimit = 0; // reply length limit; 0 = default (1024)
  std::string hexFileName;     // the remembered HEX file name (open dialog, Reload, settings)
  bool busy() const { return busy_; }  // a chip operation or a load is running

  // ---- records and exchange
  void FlushInput();
  static std::string AppendChecksum(std::string_view record);
  void SendRecord(std::string& record, bool withChecksum);
  std::string ExchangeRecord(const std::string& record, bool withChecksum, char stop);
  static std::string ReplyValue(const std::string& reply);

  // ---- synchronisation and device information
  bool SyncTarget();
  void ReadDeviceInfo(bool quiet);

  // ---- chip operations (menu commands)
  bool EraseChip();
  void MEraseClick();          // "Full Chip &Erase"
  void MProgClick();           // "&Program && Verify"
  void MReloadClick();         // "Reload"
  bool ReadChip(const std::string& title, bool compare);
  void MReadClick();           // "&Read Chip"
  void CompareFileClick();     // "Verify File"
  void MBSBClick();            // "Program SSB+&BSB"
  bool LoadHexFile();          // "&Load File" and the implicit loads

  // ---- progress and errors
  void UpdateProgress(std::int32_t position, std::int32_t total, std::int32_t bytesPerStep);
  // The error box; Cancel raises the download abort flag.
  Button ShowError(const std::string& text, bool cancellable);

 private:
  // Entry guard of the operator's commands. A command started while another one runs (a
  // menu entry or button reached through processEvents or a modal box) does nothing and
  // returns at once. Only the outermost command owns busy_; an exception passing through
  // still clears it. Nested calls made by a running command use the unguarded
  // implementations below, or are marked with nestedCall_ (for LoadHexFile).
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
    bool outermost_ = false;
  };

  // Unguarded implementations, for calls made inside a running command.
  bool syncTarget();
  void readDeviceInfo(bool quiet);
  bool eraseChip();
  void progClick();
  bool readChip(const std::string& title, bool compare);
  void programBootConfig();
  bool loadHexFileNested();  // LoadHexFile on behalf of a running command

  // One device-information record: exchanged with stop character 0, its value shown.
  std::string readValue(const char* record, DeviceField field, std::string DeviceInfo::*member);

  Link& link_;
  Operator& op_;
  Clock& clock_;
  MemoryImages images_;
  DeviceInfo device_;
  bool busy_ = false;
  bool nestedCall_ = false;  // the next guarded entry is a nested call of the running command
};

}  // namespace velkorn::isp
