// The serial port on Win32 communications: `\\.\COMn` opened with CreateFileA for exclusive
// use, the line set with SetCommState and the time-outs with SetCommTimeouts, ReadFile of one
// byte, WriteFile of the whole string.
#include <windows.h>

#include "link/serial_port.h"
#include "file/win32_error.h"

namespace velkorn::link {
namespace {

HANDLE asHandle(void* handle) { return static_cast<HANDLE>(handle); }

// The line's time-outs as one COMMTIMEOUTS record, in milliseconds.
constexpr DWORD kReadIntervalMs = 10;     // silence between two bytes of one read
constexpr DWORD kReadPerByteMs = 10;      // per byte asked for
constexpr DWORD kReadConstantMs = 10;     // on top of that
constexpr DWORD kWritePerByteMs = 100;
constexpr DWORD kWriteConstantMs = 100;
static_assert(kReadPerByteMs * 1 + kReadConstantMs == kReadByteTimeout.count(),
              "a one-byte read gives up after the line's read time-out");
static_assert(kWritePerByteMs == kWritePerByteTimeout.count() && kWriteConstantMs == kWriteConstantTimeout.count());

// XON and XOFF are not in use (no software flow control), but a driver refuses a record in
// which both characters are equal, as they would be in an all-zero record.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

// The whole line settings for `rate`: 8 data bits, no parity, 1 stop bit, DTR and RTS as
// given (raised at open), no handshake in either direction, no character replacement. The
// port's current settings are never read back: this record is the only source. Windows sets
// the modem lines to the record's on every SetCommState, so the record carries their state.
DCB lineSettings(int rate, bool dtrHigh = true, bool rtsHigh = true) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<DWORD>(rate);
  dcb.fBinary = TRUE;  // Windows knows binary transfers only: the flag must be set
  dcb.fDtrControl = dtrHigh ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fRtsControl = rtsHigh ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = kXon;
  dcb.XoffChar = kXoff;
  return dcb;
}

Error openFailure(const std::string& path, DWORD code) {
  const std::string text = file::win32ErrorText(code);
  // Windows answers a port in use with "Access is denied" (Wine: a sharing violation), but
  // it says the same of a folder or a file we may not write: those are no port at all. A
  // name in the device namespace (\\.\COMn) is left out: a device held by another program
  // may still answer the question for attributes.
  if (code == ERROR_ACCESS_DENIED && path.rfind("\\\\.\\", 0) != 0) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) return makeError(ErrorCode::Invalid, "not a serial device (a folder)");
      return makeError(ErrorCode::Invalid, "not a serial device (" + text + ")");
    }
  }
  if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
    return makeError(ErrorCode::Busy, "the port is held by another program (" + text + ")");
  }
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
    return makeError(ErrorCode::NotFound, "no such port (" + text + ")");
  return makeError(ErrorCode::Failed, text);
}

Error notOpen() { return makeError(ErrorCode::Closed, "no port is open"); }
Error lastSystemError() { return makeError(ErrorCode::Failed, file::win32ErrorText(::GetLastError())); }

}  // namespace

SerialPort::~SerialPort() { close(); }

Status SerialPort::setModemLine(ModemLine line, bool high) {
  if (!isOpen()) return makeError(ErrorCode::Closed, "the port is not open");
  const DWORD function = line == ModemLine::Dtr ? (high ? SETDTR : CLRDTR) : (high ? SETRTS : CLRRTS);
  // Kept even when the driver refuses the call: the next line setting asks for it again.
  (line == ModemLine::Dtr ? dtrHigh_ : rtsHigh_) = high;
  if (!::EscapeCommFunction(asHandle(handle_), function)) return lastSystemError();
  return {};
}

bool SerialPort::isOpen() const { return asHandle(handle_) != INVALID_HANDLE_VALUE; }

Status SerialPort::open(const std::string& path) {
  close();
  // Share mode 0: while the port is open no other program can open it, nor can we twice.
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return openFailure(path, ::GetLastError());
  auto fail = [&](const std::string& text) -> Status {
    ::CloseHandle(handle);
    return makeError(ErrorCode::Failed, text);
  };
  // Only the rate is taken from the port as found, as an open on POSIX keeps it; everything
  // else is ours. A file or another device refuses the question.
  DCB found{};
  found.DCBlength = sizeof(DCB);
  if (!::GetCommState(handle, &found)) {
    const std::string text = "not a serial device (" + file::win32ErrorText(::GetLastError()) + ")";
    ::CloseHandle(handle);
    return makeError(ErrorCode::Invalid, text);
  }
  const int rate = found.BaudRate > 0 ? static_cast<int>(found.BaudRate) : 9600;
  DCB settings = lineSettings(rate);
  if (!::SetCommState(handle, &settings)) {
    return fail("the line settings were refused (" + file::win32ErrorText(::GetLastError()) + ")");
  }
  // Without its time-outs a read would wait for ever for a byte that never comes.
  COMMTIMEOUTS timeouts{kReadIntervalMs, kReadPerByteMs, kReadConstantMs, kWritePerByteMs, kWriteConstantMs};
  if (!::SetCommTimeouts(handle, &timeouts)) {
    return fail("the time-outs were refused (" + file::win32ErrorText(::GetLastError()) + ")");
  }
  handle_ = handle;
  path_ = path;
  rate_ = rate;
  askForLowLatency();
  return {};
}

void SerialPort::askForLowLatency() {
  // A USB adapter's latency timer is a setting of its driver (Device Manager, the port's
  // advanced settings); no call of the communications interface reaches it.
  lowLatency_ = LowLatency::NotAvailable;
  lowLatencyNote_ = "low latency not available: set the adapter's latency timer in its driver's settings";
}

Status SerialPort::checkLine() { return {}; }

void SerialPort::close() {
  if (isOpen()) ::CloseHandle(asHandle(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  dtrHigh_ = rtsHigh_ = true;
  rate_ = 0;
  path_.clear();
  lowLatency_ = LowLatency::NotAsked;
  lowLatencyNote_.clear();
}

Status SerialPort::setBaudRate(int rate) {
  if (!isOpen()) return notOpen();
  if (rate <= 0) return makeError(ErrorCode::Invalid, "no bit rate " + std::to_string(rate));
  DCB next = lineSettings(rate, dtrHigh_, rtsHigh_);
  if (!::SetCommState(asHandle(handle_), &next)) {
    const std::string reason = file::win32ErrorText(::GetLastError());
    // A refused record may have been applied in part: the port gets its old one back.
    DCB previous = lineSettings(rate_, dtrHigh_, rtsHigh_);
    ::SetCommState(asHandle(handle_), &previous);
    return makeError(ErrorCode::Failed, "the driver refuses " + std::to_string(rate) + " bit/s: " + reason);
  }
  rate_ = rate;
  return {};
}

// The driver queues what comes in and each read takes one byte from that queue: there is
// no wake-up per byte to save.
void SerialPort::expectBytes(std::size_t) {}

Status SerialPort::write(std::string_view bytes) {
  if (!isOpen()) return notOpen();
  // One call under the write time-outs; a vanished adapter fails it or writes less.
  DWORD written = 0;
  if (!::WriteFile(asHandle(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    return lastSystemError();
  }
  if (written < bytes.size()) return makeError(ErrorCode::TimedOut, "the write timed out");
  return {};
}

ReadResult SerialPort::readByte() {
  if (!isOpen()) return notOpen();
  // One byte per call, as the line's time-outs are made for: the driver queues what comes
  // in, and a call on an empty queue ends after 20 ms of nothing. (Under Wine a whole 64 KiB
  // read-back costs under a second this way; the line itself needs 30 s.)
  DWORD got = 0;
  std::uint8_t byte = 0;
  if (!::ReadFile(asHandle(handle_), &byte, 1, &got, nullptr)) return lastSystemError();
  if (got == 0) return isp::LinkRead{};
  return isp::LinkRead{1, byte};
}

}  // namespace velkorn::link
