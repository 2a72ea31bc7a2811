# What the tests (UPDATER_TESTS) need, checked before anything of them is
# configured, so that a build without it stops with a message that says what
# to do rather than somewhere inside the test folders.
#
# The tests run on the build machine: the board simulator, the programs on
# pseudo-terminals, the Windows programs under Wine. A cross build cannot
# build them; its programs are tested from a native build with tests
# (tests/wine cross-builds and runs the Windows programs).
if(CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR
        "UPDATER_TESTS is ON in a cross build (CMAKE_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}), "
        "but the tests run on the build machine and cannot be cross-built. "
        "Configure with -DUPDATER_TESTS=OFF, the default in cross builds; "
        "a native build with the tests runs the Windows programs under Wine.")
endif()
find_package(GTest QUIET)
if(NOT GTest_FOUND)
    message(FATAL_ERROR
        "UPDATER_TESTS is ON, but GoogleTest was not found. Install it "
        "(Debian: apt-get install libgtest-dev libgmock-dev), point CMake at it "
        "(-DGTest_DIR=...), or configure with -DUPDATER_TESTS=OFF to build only "
        "the programs.")
endif()
