# What the cross-built test runs (Windows under Wine, arm64 under qemu-user) share:
# GoogleTest from Debian's sources (package googletest) built with the cross compiler, the
# simulated chip of this machine for the command line's end-to-end run, and the engine's
# test helpers (the in-process link to the simulated bootloader, the scripted operator) as
# velkorn_cross_test_support.
set(VELKORN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian package googletest)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VELKORN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

set(VELKORN_HOST_TARGET "${PROJECT_SOURCE_DIR}/build/dev/sim/velkorn-target" CACHE FILEPATH
    "velkorn-target built for this machine (cmake --build --preset dev --target velkorn-target)")

set(tests ${PROJECT_SOURCE_DIR}/tests)
add_library(velkorn_cross_test_support STATIC ${tests}/support/sim_link.cpp ${tests}/support/scripted_operator.cpp)
target_include_directories(velkorn_cross_test_support PUBLIC ${tests})
target_link_libraries(velkorn_cross_test_support PUBLIC velkorn_isp velkorn_image velkorn_sim_bootloader
                      GTest::gtest GTest::gmock)
