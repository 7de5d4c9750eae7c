# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the
# POSIX thread model, which std::thread and GoogleTest need). Everything is linked statically:
# the programs need no DLL beyond those of Windows itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELKORN_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELKORN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKORN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKORN_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKORN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
