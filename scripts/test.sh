#!/usr/bin/env bash
# Every test: sets the machine up, builds, and runs the C++ and Python tests
# (both interpreters) through ctest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
ctest --test-dir "${BUILD_DIR:-$top/build}" --output-on-failure -j "$(nproc)"

# Hardening. The sanitized build (ASan + UBSan): C++ tests and fuzz replays,
# then the Python tests in interpreters with the ASan runtime preloaded (the
# device test beds, which preload their own libraries, stay with the plain
# build).
asan=$top/build-asan
BUILD_DIR=$asan "$top/scripts/build.sh" -DSANITIZE=ON -DBUILD_BENCH=OFF
ctest --test-dir "$asan" --output-on-failure -j "$(nproc)" -E '^(py[23]\.|usbfake|qemu)'
ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc LD_PRELOAD="$(gcc -print-file-name=libasan.so)" \
  ctest --test-dir "$asan" --output-on-failure -j "$(nproc)" -R '^py[23]\.'

# The leak checks once at full length (100,000 calls per case).
TILESTREAM_LEAK_FULL=1 ctest --test-dir "${BUILD_DIR:-$top/build}" --output-on-failure \
  -j "$(nproc)" -R '^py[23]\.test_leaks$'

# A short run of Python tests under valgrind memcheck.
"$top/tests/valgrind/run.sh" "${BUILD_DIR:-$top/build}"

# The fuzz targets (clang, libFuzzer), a minute each, side by side.
fuzz=$top/build-fuzz
CC=clang CXX=clang++ cmake -S "$top" -B "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
  -DBUILD_PYTHON_MODULES=OFF -DBUILD_BENCH=OFF >/dev/null
cmake --build "$fuzz" -j "$(nproc)" --target fuzz_videosink fuzz_shrink fuzz_readout
"$top/fuzz/run.sh" "$fuzz" 60

# The 32-bit x86 build of the core and its C++ tests (under qemu-user where
# the kernel runs no 32-bit programs).
i386=$top/build-i386
cmake -S "$top" -B "$i386" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i386.cmake" -DBUILD_PYTHON_MODULES=OFF -DBUILD_BENCH=OFF >/dev/null
cmake --build "$i386" -j "$(nproc)"
ctest --test-dir "$i386" --output-on-failure -j "$(nproc)"
