# Cross build for the daemon's target: 32-bit big-endian PowerPC Linux.
# Tests run through qemu-user, which CTest and gtest_discover_tests use as
# the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-ppc;-L;/usr/powerpc-linux-gnu")

# One line that says what to install, rather than CMake's search report.
find_program(MUROX_CROSS_CXX powerpc-linux-gnu-g++)
find_program(MUROX_QEMU_PPC qemu-ppc)
if(NOT MUROX_CROSS_CXX OR NOT MUROX_QEMU_PPC)
    message(FATAL_ERROR " missing the PowerPC cross compiler or emulator: "
                        "apt-get install g++-powerpc-linux-gnu qemu-user")
endif()
