# Toolchain for the 64-bit Arm (aarch64) build of the core, its C++ tests and
# the modules for Debian's arm64 CPython 3 (cmake/interpreters.txt; run by
# the build's launcher) on an x86-64 Debian host: clang targets aarch64
# against Debian's cross packages (libc6-dev-arm64-cross,
# libstdc++-12-dev-arm64-cross, libgcc-12-dev-arm64-cross,
# binutils-aarch64-linux-gnu), which unlike g++-aarch64-linux-gnu leave
# gcc-multilib in place:
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64.cmake -DBUILD_BENCH=OFF
#
# The x86 kernel files compile to nothing here, so the core runs its portable
# paths. Every program the build or ctest runs goes through qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# No --sysroot: clang finds Debian's cross gcc (/usr/lib/gcc-cross) and the
# headers and libraries under /usr/aarch64-linux-gnu by itself, and a sysroot
# would break the linker scripts there (libc.so names its parts by absolute
# path). Libraries and packages are looked up in the cross tree only, so the
# host's x86-64 ones (GoogleTest, benchmark) are never picked up; programs
# are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runner for programs of this build (generators and tests); the top-level
# CMakeLists.txt takes it as TILESTREAM_TARGET_RUNNER. The loader and
# libraries come from the cross packages.
find_program(QEMU_AARCH64 qemu-aarch64)
if(NOT QEMU_AARCH64)
  message(FATAL_ERROR "The aarch64 build runs its programs under qemu-aarch64, which was "
                      "not found: install Debian's qemu-user (scripts/setup.sh does).")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
