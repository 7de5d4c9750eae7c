# The Debian package, made by CPack from a build directory:
#   cmake --preset release -DBUILD_TESTING=OFF && cmake --build --preset release
#   cd build/release && cpack            (scripts/package.sh does all of it)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Velkorn developers")
set(CPACK_PACKAGE_CONTACT "${VELKORN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME velkorn)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # velkorn_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The shared libraries the programs link against decide the dependencies (dpkg-shlibdeps);
# Qt finds its X11 / Wayland platform plugins in a package of its own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
# The summary line comes first; CPack indents the text as the control file wants it.
set(CPACK_PACKAGE_DESCRIPTION "Velkorn programs 8051-family microcontrollers of the RD2/ED2 kind
through the serial bootloader in the chip: it identifies the device,
erases, programs and verifies the flash from an Intel HEX file, reads the
flash back into a file and writes the security and boot bytes. Beside the
programmer it has a serial text terminal and a TCP client for network
serial modules.

The package holds the window (velkorn), the command-line programmer for
scripts and production lines (velkorn-cli), and a simulated chip on a
pseudo-terminal (velkorn-target) to try both without hardware.")

include(CPack)
