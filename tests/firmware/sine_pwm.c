// Firmware for the end-to-end test of a real compiler's output: the build makes it with
// sdcc, and the test programs its image and reads it back. The code starts at 0; the
// tables sit further up, at addresses that are no multiple of 16, one of them across a
// 256-byte block, as the constant data of a field build often does. Everything stays below
// 0x7C00, so that a 32 KiB part takes it too.
#include <8051.h>

#define STEPS 64

// One period of a sine wave as PWM duty cycles out of 255.
__code __at(0x4FE9) const unsigned char sine[STEPS] = {
    0x80, 0x8C, 0x98, 0xA5, 0xB0, 0xBC, 0xC6, 0xD0,
    0xDA, 0xE2, 0xEA, 0xF0, 0xF5, 0xFA, 0xFD, 0xFE,
    0xFF, 0xFE, 0xFD, 0xFA, 0xF5, 0xF0, 0xEA, 0xE2,
    0xDA, 0xD0, 0xC6, 0xBC, 0xB0, 0xA5, 0x98, 0x8C,
    0x80, 0x73, 0x67, 0x5A, 0x4F, 0x43, 0x39, 0x2F,
    0x25, 0x1D, 0x15, 0x0F, 0x0A, 0x05, 0x02, 0x01,
    0x00, 0x01, 0x02, 0x05, 0x0A, 0x0F, 0x15, 0x1D,
    0x25, 0x2F, 0x39, 0x43, 0x4F, 0x5A, 0x67, 0x73};

// Sent on the serial line at start-up; its last byte is the one below 0x7C00.
__code __at(0x7BE3) const char banner[] = "velkorn sdcc test firmware\r\n";

static void sendBanner(void) {
  const char* p;
  SCON = 0x50;  // mode 1, receiver on
  TMOD = 0x20;  // timer 1 reloads itself
  TH1 = 0xFD;   // 9600 bit/s at 11.0592 MHz
  TR1 = 1;
  for (p = banner; *p; ++p) {
    SBUF = *p;
    while (!TI) {
    }
    TI = 0;
  }
}

void main(void) {
  unsigned char step = 0;
  unsigned char tick;
  sendBanner();
  for (;;) {
    const unsigned char duty = sine[step++ & (STEPS - 1)];
    for (tick = 0; tick != 255; ++tick) P1_0 = tick < duty;
  }
}
