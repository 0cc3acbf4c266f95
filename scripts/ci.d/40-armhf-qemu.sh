#!/usr/bin/env bash
# The engine and its C++ tests cross-compiled for 32-bit ARM Linux with hardware floating
# point (Debian armhf: size_t is 32 bits, VFPv3-D16, no NEON) and run under qemu-arm.
# UndefinedBehaviorSanitizer (alignment included) is on: qemu forgives the unaligned double
# loads that real ARM hardware may fault on, the sanitizer does not.
set -euo pipefail
. "$(dirname "$0")/../stage-cost"
cd "$(dirname "$0")/../.."

triplet=arm-linux-gnueabihf
need=()
command -v ${triplet}-g++ >/dev/null || need+=(g++-${triplet})
[ -f /usr/${triplet}/lib/libubsan.so.1 ] || need+=(libubsan1-armhf-cross)
[ -f /usr/${triplet}/include/stdio.h ] || need+=(libc6-dev-armhf-cross)
command -v qemu-arm >/dev/null || need+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v cmake >/dev/null || need+=(cmake)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${need[@]}"
fi

toolchain="$PWD/cmake/toolchain-armhf.cmake"
gtest_root="$PWD/build/ci-armhf-gtest-root"
sanitize="-fsanitize=alignment,undefined -fno-sanitize-recover=all"

# GoogleTest for armhf, from the sources Debian ships, built once per tree.
if [ ! -f "$gtest_root/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B build/ci-armhf-gtest -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
    -DCMAKE_INSTALL_PREFIX="$gtest_root" >/dev/null
  cmake --build build/ci-armhf-gtest -j2 >/dev/null
  cmake --install build/ci-armhf-gtest >/dev/null
fi

build=build/ci-armhf
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DMIREL_PYTHON=OFF -DMIREL_BUILD_TESTS=ON -DMIREL_WERROR=ON \
  -DGTest_DIR="$gtest_root/lib/cmake/GTest" \
  "-DCMAKE_CXX_FLAGS=-Wno-psabi $sanitize" "-DCMAKE_EXE_LINKER_FLAGS=$sanitize" >/dev/null
cmake --build "$build" -j2

# Refuse to pass on a host build by mistake: the test program must be a 32-bit ARM executable.
if ! od -An -tx1 -j4 -N1 "$build/mirel_cpp_tests" | grep -q '01' ||
   ! od -An -tx1 -j18 -N1 "$build/mirel_cpp_tests" | grep -q '28'; then
  echo "mirel_cpp_tests is not a 32-bit ARM executable" >&2
  exit 1
fi

ctest --test-dir "$build" --output-on-failure -j2
