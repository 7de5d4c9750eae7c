// Holds a port (or a file) open with share mode 0, as another program would, until a file
// appears (at most a minute): `hold_port PORT RELEASE-FILE`. Prints "held" once it is open.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: hold_port PORT RELEASE-FILE\n");
    return 2;
  }
  const HANDLE port = ::CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_port: cannot open %s (error %lu)\n", argv[1], ::GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  for (int i = 0; i < 1200 && ::GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(50);
  ::CloseHandle(port);
  return 0;
}
