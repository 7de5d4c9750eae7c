# Cross-build for 64-bit ARM Linux (the small boards of production stations) with Debian's
# g++-aarch64-linux-gnu. The C++ run-time is linked statically, so the package needs only
# the C library of the board's system; the tests run under qemu-user, whose -L points the
# programs at the cross compiler's C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VELKORN_CROSS aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VELKORN_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${VELKORN_CROSS}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKORN_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# add_test() runs the built programs through the emulator; no binfmt registration needed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${VELKORN_CROSS})

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")