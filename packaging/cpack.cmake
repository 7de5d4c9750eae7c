# The two Debian packages, made by one CPack run from a build directory:
#   cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
#   cmake --build build/package && cd build/package && cpack   (scripts/package.sh does it all)
# velkorn-cli holds the command line, the simulated chip, their manuals, the completion, the
# documentation and the examples, and needs no Qt; velkorn holds the window and what a
# desktop shows of it, and depends on velkorn-cli.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Velkorn developers")
set(CPACK_PACKAGE_CONTACT "${VELKORN_MAINTAINER}")
# CPack's DEB generator puts any other summary than its default in front of every package's
# description; at the default, each package's own first line below is its summary.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
if(VELKORN_CLI_ONLY)
  # A build without Qt (the arm64 one) makes velkorn-cli alone.
  set(CPACK_COMPONENTS_ALL ${VELKORN_CLI_COMPONENT})
else()
  set(CPACK_COMPONENTS_ALL ${VELKORN_CLI_COMPONENT} ${VELKORN_WINDOW_COMPONENT})
endif()
string(TOUPPER ${VELKORN_CLI_COMPONENT} cli)
string(TOUPPER ${VELKORN_WINDOW_COMPONENT} window)
set(CPACK_DEBIAN_${cli}_PACKAGE_NAME velkorn-cli)
set(CPACK_DEBIAN_${window}_PACKAGE_NAME velkorn)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # velkorn-cli_VERSION_ARCH.deb, velkorn_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The shared libraries the programs link against decide the dependencies (dpkg-shlibdeps):
# the command line's are the C and C++ run-times only. Qt finds its X11 / Wayland platform
# plugins in a package of its own; the window's documentation and examples are in
# velkorn-cli, of the very same build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps knows only this machine's libraries. The cross build links the C++
  # run-time statically (cmake/aarch64-linux-gnu.cmake), so the C library is all it needs;
  # scripts/package-arm64.sh passes the version its programs ask for.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(VELKORN_CROSS_LIBC_VERSION "" CACHE STRING
      "The newest GLIBC_ symbol version the cross-built programs need (scripts/package-arm64.sh)")
  if(VELKORN_CROSS_LIBC_VERSION)
    set(CPACK_DEBIAN_${cli}_PACKAGE_DEPENDS "libc6 (>= ${VELKORN_CROSS_LIBC_VERSION})")
  endif()
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
endif()
set(CPACK_DEBIAN_${window}_PACKAGE_DEPENDS "qt6-qpa-plugins, velkorn-cli (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_${cli}_PACKAGE_SUGGESTS "bash-completion, velkorn")
# Earlier versions made one package, velkorn, that held the command line's files too.
set(CPACK_DEBIAN_${cli}_PACKAGE_REPLACES "velkorn (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_${cli}_PACKAGE_BREAKS "velkorn (<< ${PROJECT_VERSION})")
# The summary line comes first; CPack indents the text as the control file wants it.
set(CPACK_DEBIAN_${cli}_DESCRIPTION "command-line flash programmer for 8051 RD2/ED2 serial bootloaders
velkorn-cli programs 8051-family microcontrollers of the RD2/ED2 kind
through the serial bootloader in the chip: it identifies the device,
erases, programs and verifies the flash from an Intel HEX file, reads the
flash back into a file and writes the security and boot bytes, over a
serial port or a network serial server, for scripts and production lines.

The package also holds velkorn-target, a simulated chip on a
pseudo-terminal, to try the programmer without hardware. It needs no
window toolkit; the package velkorn adds the window.")
set(CPACK_DEBIAN_${window}_DESCRIPTION "flash programmer for 8051 RD2/ED2 serial bootloaders, with a window
Velkorn programs 8051-family microcontrollers of the RD2/ED2 kind
through the serial bootloader in the chip: it identifies the device,
erases, programs and verifies the flash from an Intel HEX file, reads the
flash back into a file and writes the security and boot bytes. Beside the
programmer it has a serial text terminal and a TCP client for network
serial modules.

This package holds the window (velkorn); the command-line programmer and
the simulated chip are in velkorn-cli.")

include(CPack)
