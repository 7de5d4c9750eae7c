// The Win32 serial port under Wine, on COM1 pinned to velkorn-target's pseudo-terminal:
// what the port is told at open and on a rate change, bytes both ways, and the reasons of a
// refused open.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "link/port_names.h"
#include "link/serial_port.h"
#include "file/win32_error.h"

namespace velkorn::link {
namespace {

const std::string kCom1 = "\\\\.\\COM1";

TEST(Win32SerialPort, OpenSets8N1WithDtrRtsNoHandshakeAndTheLineTimeouts) {
  EXPECT_EQ(resolvePortName("com1"), kCom1);
  const auto listed = defaultSerialDevices();
  EXPECT_NE(std::find(listed.begin(), listed.end(), kCom1), listed.end());
  SerialPort port;
  const Status opened = port.open(resolvePortName("COM1"));
  ASSERT_TRUE(opened.ok()) << opened.message();
  ASSERT_TRUE(port.setBaudRate(115200));
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(::GetCommState(static_cast<HANDLE>(port.handle()), &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_FALSE(dcb.fOutxCtsFlow || dcb.fOutxDsrFlow || dcb.fOutX || dcb.fInX || dcb.fParity);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  COMMTIMEOUTS t{};
  ASSERT_TRUE(::GetCommTimeouts(static_cast<HANDLE>(port.handle()), &t));
  EXPECT_EQ((std::array<DWORD, 5>{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                   t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
            (std::array<DWORD, 5>{10, 10, 10, 100, 100}));

  ASSERT_TRUE(port.setBaudRate(9600));
  ASSERT_TRUE(::GetCommState(static_cast<HANDLE>(port.handle()), &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(port.baudRate(), 9600);
}

TEST(Win32SerialPort, BytesGoBothWaysAndSilenceIsNoError) {
  SerialPort port;
  const Status opened = port.open(kCom1);
  ASSERT_TRUE(opened.ok()) << opened.message();
  ASSERT_TRUE(port.setBaudRate(115200));
  const ReadResult silence = port.readByte();
  ASSERT_TRUE(silence.ok());
  EXPECT_EQ(silence->count, 0);
  // The bootloader echoes the synchronisation character.
  const Status written = port.write("U");
  ASSERT_TRUE(written.ok()) << written.message();
  std::string received;
  for (int i = 0; i < 100 && received.find('U') == std::string::npos; ++i) {
    const ReadResult r = port.readByte();
    ASSERT_TRUE(r.ok()) << r.message();
    if (r->count == 1) received.push_back(static_cast<char>(r->byte));
  }
  EXPECT_NE(received.find('U'), std::string::npos);
}

// Wine's pseudo-terminal has no modem lines, as on Linux: each step is refused with the
// system's reason (the command line says it and goes on), and the port still works.
TEST(Win32SerialPort, ModemLinesRefusedSayWhy) {
  SerialPort port;
  const Status closed = port.setModemLine(ModemLine::Dtr, false);
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.code(), ErrorCode::Closed);
  EXPECT_EQ(closed.message(), "the port is not open");
  const Status opened = port.open(kCom1);
  ASSERT_TRUE(opened.ok()) << opened.message();
  for (const ModemLine line : {ModemLine::Dtr, ModemLine::Rts}) {
    const Status set = port.setModemLine(line, false);
    ASSERT_FALSE(set.ok());
    EXPECT_FALSE(set.message().empty());
  }
  const Status rate = port.setBaudRate(9600);
  EXPECT_TRUE(rate.ok()) << rate.message();
}

// Windows' serial drivers refuse a second open of a port; Wine's serial devices do not, so a
// file held with share mode 0 stands in for the held port: CreateFileA refuses it the same way.
TEST(Win32SerialPort, RefusalsSayWhy) {
  const std::string heldFile = ::testing::TempDir() + "velkorn-held-port";
  const HANDLE held = ::CreateFileA(heldFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const struct {
    std::string path;
    std::string reason;
    ErrorCode code;
  } cases[] = {
      {heldFile, "the port is held by another program (" + file::win32ErrorText(ERROR_SHARING_VIOLATION) + ")",
       ErrorCode::Busy},
      {"\\\\.\\COM250", "no such port (" + file::win32ErrorText(ERROR_FILE_NOT_FOUND) + ")",
       ErrorCode::NotFound},  // no device behind it
      // Windows refuses a folder as it refuses a port in use.
      {::testing::TempDir(), "not a serial device (a folder)", ErrorCode::Invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SerialPort port;
    const Status opened = port.open(c.path);
    ASSERT_FALSE(opened.ok());
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(opened.message(), c.reason);
    EXPECT_EQ(opened.code(), c.code);
    EXPECT_EQ(port.write("U").code(), ErrorCode::Closed);
    EXPECT_EQ(port.readByte().code(), ErrorCode::Closed);
  }
  ::CloseHandle(held);
  ::DeleteFileA(heldFile.c_str());
}

}  // namespace
}  // namespace velkorn::link
