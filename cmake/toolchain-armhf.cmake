# Cross-compiling for 32-bit ARM Linux with hardware floating point (Debian armhf) with
# Debian's arm-linux-gnueabihf toolchain. Programs run under qemu-user; the armhf C and C++
# runtimes live in /usr/arm-linux-gnueabihf, which is also where qemu looks for them (-L).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MIREL_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${MIREL_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MIREL_ARMHF_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${MIREL_ARMHF_TRIPLET})
# Host programs (the compilers, qemu) are found on the host; libraries, headers and CMake
# packages only for the target, so the host's x86-64 GoogleTest is never picked up.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (and GoogleTest's test discovery) run through qemu-arm.
find_program(MIREL_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(MIREL_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIREL_QEMU_ARM} -L /usr/${MIREL_ARMHF_TRIPLET})
endif()

# GCC notes on every function taking a std::span by value that the argument passing changed
# in GCC 7.1; everything here is built by one compiler, so the note says nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
