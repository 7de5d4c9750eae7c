#pragma once
// The bit rate of an open terminal on Linux, any rate the driver takes: the kernel's
// termios2 carries the rate as a number (BOTHER), so 250000 bit/s works as 115200 does.
// Kept apart from serial_port.cpp because the kernel's termios2 header clashes with the C
// library's <termios.h>.

namespace velkorn::link {

// Sets the input and output rate of the terminal `fd` to `rate` bit/s and leaves its other
// settings. Returns 0, or the errno of the refusal; the terminal keeps its old rate then.
int setLineRate(int fd, int rate);

// The output rate of the terminal `fd` in bit/s, as the driver holds it; 0 when unknown.
int lineRate(int fd);

}  // namespace velkorn::link
