#include "link/serial_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace velkorn::link {
namespace {

// A rate a driver knows by name is set by that name, as every driver since the first
// understands it; only the others need BOTHER. B0 is absent on purpose: it hangs up the line.
struct NamedRate {
  int rate;
  tcflag_t speed;
};
constexpr NamedRate kNamedRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t namedSpeed(int rate) {
  for (const NamedRate& n : kNamedRates) {
    if (n.rate == rate) return n.speed;
  }
  return BOTHER;
}

// qemu-user (an arm64 build tried on a PC) and old kernels answer the termios2 requests
// with ENOSYS or ENOTTY; the classic requests still carry every rate that has a name.
bool lacksTermios2(int err) { return err == ENOSYS || err == ENOTTY; }

int setNamedRate(int fd, int rate, int termios2Error) {
  const tcflag_t speed = namedSpeed(rate);
  if (speed == BOTHER) return termios2Error;
  termios before{};
  if (::ioctl(fd, TCGETS, &before) != 0) return errno;
  termios next = before;
  next.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  next.c_cflag |= speed;
  if (::ioctl(fd, TCSETS, &next) != 0) {
    const int err = errno;
    (void)::ioctl(fd, TCSETS, &before);
    return err;
  }
  return 0;
}

int namedLineRate(int fd) {
  termios tio{};
  if (::ioctl(fd, TCGETS, &tio) != 0) return 0;
  for (const NamedRate& n : kNamedRates) {
    if (n.speed == (tio.c_cflag & CBAUD)) return n.rate;
  }
  return 0;
}

}  // namespace

int setLineRate(int fd, int rate) {
  if (rate <= 0) return EINVAL;  // a rate of 0 hangs up the line
  termios2 before{};
  if (::ioctl(fd, TCGETS2, &before) != 0) {
    const int err = errno;
    return lacksTermios2(err) ? setNamedRate(fd, rate, err) : err;
  }
  termios2 next = before;
  // The input rate follows the output rate (input field 0).
  next.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  next.c_cflag |= namedSpeed(rate);
  next.c_ispeed = next.c_ospeed = static_cast<speed_t>(rate);
  if (::ioctl(fd, TCSETS2, &next) != 0) {
    const int err = errno;
    (void)::ioctl(fd, TCSETS2, &before);
    return err;
  }
  return 0;
}

int lineRate(int fd) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return lacksTermios2(errno) ? namedLineRate(fd) : 0;
  return static_cast<int>(tio.c_ospeed);
}

}  // namespace velkorn::link
