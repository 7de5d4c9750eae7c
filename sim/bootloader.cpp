#include "sim/bootloader.h"

#include <cstdio>

namespace velkorn::sim {

namespace {

// Record types the bootloader understands.
constexpr std::uint8_t kTypeData = 0x00;     // program bytes at the record address
constexpr std::uint8_t kTypeWrite = 0x03;    // erase, security, boot status, BLJB
constexpr std::uint8_t kTypeDisplay = 0x04;  // read back or blank check a range
constexpr std::uint8_t kTypeRead = 0x05;     // read one identification or boot byte

// Sub-functions of type 04, carried in its fifth data byte.
constexpr std::uint8_t kDisplayRead = 0x00;
constexpr std::uint8_t kDisplayBlankCheck = 0x01;

constexpr char kAccepted = '.';
constexpr char kRefused = 'X';
constexpr std::uint8_t kAutobaudChar = 'U';
constexpr std::uint8_t kRecordStart = ':';
constexpr unsigned kReadLineBytes = 16;  // bytes per line of a read answer

int hexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string hex2(unsigned v) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
  return buf;
}

std::string hex4(unsigned v) {
  char buf[5];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
  return buf;
}

std::string refused() { return std::string(1, kRefused); }
std::string accepted() { return std::string(1, kAccepted); }

}  // namespace

Bootloader::Bootloader(DeviceProfile profile) : profile_(profile) { flash_.fill(0xFF); }

void Bootloader::newBoard(const Faults& faults) {
  auto log = std::move(onRecord);
  *this = Bootloader(profile_);
  faults_ = faults;
  onRecord = std::move(log);
}

void Bootloader::receive(std::uint8_t byte, std::string& out, int* delayMs, std::size_t* delayFrom) {
  if (delayMs) *delayMs = 0;
  if (delayFrom) *delayFrom = out.size();
  ++inputBytes_;
  if (faults_.dropInputByte > 0 && inputBytes_ == static_cast<std::uint64_t>(faults_.dropInputByte)) return;
  if (faults_.garbleInputByte > 0 && inputBytes_ == static_cast<std::uint64_t>(faults_.garbleInputByte)) byte ^= 0x01;

  std::string sent;
  answerAt_ = 0;
  receiveByte(byte, sent, delayMs);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    char c = sent[i];
    if (delayFrom && i == answerAt_) *delayFrom = out.size();
    ++outputBytes_;
    if (faults_.dropOutputByte > 0 && outputBytes_ == static_cast<std::uint64_t>(faults_.dropOutputByte)) continue;
    if (faults_.garbleOutputByte > 0 && outputBytes_ == static_cast<std::uint64_t>(faults_.garbleOutputByte)) {
      c = static_cast<char>(c ^ 0x01);
    }
    out += c;
  }
}

std::string Bootloader::receive(std::string_view bytes) {
  std::string out;
  for (char c : bytes) receive(static_cast<std::uint8_t>(c), out, nullptr);
  return out;
}

void Bootloader::receiveByte(std::uint8_t byte, std::string& out, int* delayMs) {
  if (silent_) return;
  if (!synced_) {
    // Autobaud: until the bit rate is known, only "U" means anything.
    if (byte == kAutobaudChar) {
      synced_ = true;
      out += static_cast<char>(kAutobaudChar);
    }
    return;
  }
  if (record_.empty()) {
    if (byte == kRecordStart) {
      ++recordNumber_;
      echoRecord_ = faults_.dropEchoOfRecord != recordNumber_;
      record_ = ":";
      if (echoRecord_) out += static_cast<char>(byte);
    } else {
      out += static_cast<char>(byte);  // echoed, otherwise ignored
    }
    return;
  }
  if (echoRecord_) out += static_cast<char>(byte);
  if (hexValue(byte) < 0) {
    record_.clear();
    out += kRefused;
    return;
  }
  record_ += static_cast<char>(byte);
  if (record_.size() < 3) return;
  const unsigned count = static_cast<unsigned>(hexValue(record_[1]) * 16 + hexValue(record_[2]));
  if (record_.size() == 1 + 2 * (count + 5)) completeRecord(out, delayMs);
}

void Bootloader::completeRecord(std::string& out, int* delayMs) {
  const std::string record = std::move(record_);
  record_.clear();
  records_.push_back(record);
  ++completedRecords_;

  std::vector<std::uint8_t> bytes;
  unsigned sum = 0;
  for (std::size_t i = 1; i + 1 < record.size(); i += 2) {
    const auto b = static_cast<std::uint8_t>(hexValue(record[i]) * 16 + hexValue(record[i + 1]));
    bytes.push_back(b);
    sum += b;
  }
  std::string answer = (sum & 0xFFu) != 0 ? refused() : answerRecord(bytes, delayMs);
  answerAt_ = out.size();
  out += answer;
  if (onRecord) onRecord(record, answer);
  if (faults_.silentAfterRecords > 0 && completedRecords_ >= faults_.silentAfterRecords) silent_ = true;
}

std::string Bootloader::answerRecord(const std::vector<std::uint8_t>& bytes, int* delayMs) {
  const unsigned count = bytes[0];
  const unsigned address = static_cast<unsigned>(bytes[1]) << 8 | bytes[2];
  const std::uint8_t type = bytes[3];
  const std::vector<std::uint8_t> data(bytes.begin() + 4, bytes.begin() + 4 + count);

  if (type == kTypeData) return answerData(address, data);
  // The command records carry address 0000; anything else is not one of them.
  if (address != 0) return refused();
  switch (type) {
    case kTypeWrite:
      if (data.size() == 1 && data[0] == 0x07) return answerErase(delayMs);
      return answerWrite(data);
    case kTypeDisplay: {
      if (data.size() != 5) return refused();
      const unsigned first = static_cast<unsigned>(data[0]) << 8 | data[1];
      const unsigned last = static_cast<unsigned>(data[2]) << 8 | data[3];
      if (data[4] == kDisplayRead) return answerRead(first, last);
      if (data[4] == kDisplayBlankCheck) return answerBlankCheck(first, last, delayMs);
      return refused();
    }
    case kTypeRead:
      if (data.size() != 2) return refused();
      return answerInfo(data[0], data[1]);
    default:
      return refused();
  }
}

std::string Bootloader::answerInfo(std::uint8_t hi, std::uint8_t lo) const {
  // Where hardware security and bootloader version are read from depends on the product.
  const bool ed2 = profile_.product == 0xEF;
  int value = -1;
  switch (hi << 8 | lo) {
    case 0x0000: value = profile_.manufacturer; break;
    case 0x0001: value = profile_.family; break;
    case 0x0002: value = profile_.memoryCode; break;
    case 0x0003: value = profile_.product; break;
    case 0x0700: value = profile_.securityByte; break;
    case 0x0701: value = profile_.bootStatus; break;
    case 0x0702: value = profile_.bootVector; break;
    case 0x0703: if (!ed2) value = profile_.hardwareSecurity; break;
    case 0x0800: if (!ed2) value = profile_.bootloaderVersion; break;
    case 0x0B00: if (ed2) value = profile_.hardwareSecurity; break;
    case 0x0F00: if (ed2) value = profile_.bootloaderVersion; break;
    default: break;
  }
  if (value < 0) return refused();
  return hex2(static_cast<unsigned>(value)) + kAccepted;
}

std::string Bootloader::answerRead(unsigned first, unsigned last) {
  const unsigned size = static_cast<unsigned>(profile_.flashSize());
  if (first > last || last >= size || profile_.readingLocked()) return refused();
  ++readRequests_;
  std::string answer;
  answer.reserve((last - first + 1) / kReadLineBytes * 39 + 2);
  for (unsigned line = first; line <= last; line += kReadLineBytes) {
    answer += "\r\n" + hex4(line) + "=";
    for (unsigned a = line; a < line + kReadLineBytes && a <= last; ++a) answer += hex2(flash_[a]);
  }
  answer += "\r\n";
  if (faults_.garbleReadBlock == readRequests_) answer[7] = faults_.garbleReadWith;  // first data digit
  if (faults_.shortReadBlock == readRequests_) answer.pop_back();
  return answer;
}

std::string Bootloader::answerBlankCheck(unsigned first, unsigned last, int* delayMs) {
  const unsigned size = static_cast<unsigned>(profile_.flashSize());
  if (first > last || first >= size || profile_.readingLocked()) return refused();
  if (last >= size) last = size - 1;  // a 32 KiB part checks what it has
  ++blankChecks_;
  std::string answer = accepted();
  for (unsigned a = first; a <= last && faults_.lieBlankCheck != blankChecks_; ++a) {
    if (flash_[a] != 0xFF) {
      answer = hex4(a) + "\r\n";
      break;
    }
  }
  if (faults_.dropBlankCheck == blankChecks_) return {};
  if (faults_.garbleBlankCheck == blankChecks_) {
    if (answer.size() == 1) answer.insert(0, 1, 'G');
    else answer[2] = 'G';
  }
  if (faults_.lateBlankCheck == blankChecks_ && delayMs) *delayMs = faults_.lateByMs;
  return answer;
}

std::string Bootloader::answerData(unsigned address, const std::vector<std::uint8_t>& bytes) {
  ++dataRecords_;
  if (faults_.refuseDataRecord == dataRecords_) return refused();
  if (address + bytes.size() > static_cast<std::size_t>(profile_.flashSize())) return refused();
  if (profile_.programmingLocked()) return refused();
  // Programming can only clear bits; setting them again needs an erase.
  for (std::size_t i = 0; i < bytes.size(); ++i) flash_[address + i] &= bytes[i];
  pinStuckCell();
  ++flashChanges_;
  return accepted();
}

std::string Bootloader::answerErase(int* delayMs) {
  if (faults_.refuseErase) return refused();
  // The full chip erase is the way out of either security level: it takes the flash with it,
  // so nothing locked is left to protect.
  flash_.fill(0xFF);
  pinStuckCell();
  profile_.securityByte = 0xFF;
  ++flashChanges_;
  if (delayMs) *delayMs = faults_.eraseDelayMs;
  return accepted();
}

void Bootloader::pinStuckCell() {
  if (faults_.stuckCell >= 0 && faults_.stuckCell < static_cast<int>(flash_.size())) {
    flash_[static_cast<std::size_t>(faults_.stuckCell)] = faults_.stuckValue;
  }
}

std::string Bootloader::answerWrite(const std::vector<std::uint8_t>& data) {
  const std::string d = [&] {
    std::string s;
    for (auto b : data) s += hex2(b);
    return s;
  }();
  if (d == "0500") {  // security level 1: no more programming
    if (faults_.refuseLock0) return refused();
    if (!faults_.forgetLocks) profile_.securityByte &= static_cast<std::uint8_t>(~0x01u);
  } else if (d == "0501") {  // security level 2: no read or blank check either
    if (faults_.refuseLock1) return refused();
    if (!faults_.forgetLocks) profile_.securityByte &= static_cast<std::uint8_t>(~0x10u);
  } else if (d == "0A0401" || d == "0A0400") {
    if (faults_.refuseBljb) return refused();
    bljb_ = d == "0A0401";
  } else if (d == "060000") {  // boot status byte 00: start the application after reset
    profile_.bootStatus = 0x00;
  } else {
    return refused();
  }
  return accepted();
}

}  // namespace velkorn::sim
