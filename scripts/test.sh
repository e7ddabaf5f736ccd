#!/usr/bin/env bash
# Every test: sets the machine up, builds, and runs the C++ and Python tests
# (both interpreters) through ctest, then the hardening runs. Each stage says
# when it starts and how long it took.
#
# TILESTREAM_I386_EMULATION=AUTO|ON|OFF (default AUTO) says how i386 programs
# run on this host (cmake/I386Emulation.cmake); the i386 stage also runs its
# tests the other way this host allows, so both kinds of host are covered.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
plain=${BUILD_DIR:-$top/build}
jobs=$(nproc)
export TILESTREAM_I386_EMULATION=${TILESTREAM_I386_EMULATION:-AUTO}

started=$(date +%s)
stage_name=
stage_start=
stage() {
  local now
  now=$(date +%s)
  [ -z "$stage_name" ] || echo "== test.sh: $stage_name: $((now - stage_start)) s"
  stage_name=$1
  stage_start=$now
  [ -z "$stage_name" ] || echo "== test.sh: $stage_name"
}

stage "setup"
"$top/scripts/setup.sh"

stage "plain build and ctest"
BUILD_DIR=$plain "$top/scripts/build.sh"
ctest --test-dir "$plain" --output-on-failure -j "$jobs"

# Hardening. The sanitized build (ASan + UBSan): C++ tests and fuzz replays,
# then the Python tests in interpreters with the ASan runtime preloaded (the
# device test beds, which preload their own libraries, stay with the plain
# build).
stage "sanitized build and ctest"
asan=$top/build-asan
BUILD_DIR=$asan "$top/scripts/build.sh" -DSANITIZE=ON -DBUILD_BENCH=OFF
ctest --test-dir "$asan" --output-on-failure -j "$jobs" -E '^(py[23]\.|usbfake|qemu|vidtool)'
ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc LD_PRELOAD="$(gcc -print-file-name=libasan.so)" \
  ctest --test-dir "$asan" --output-on-failure -j "$jobs" -R '^(py[23]\.|vidtool$)'

# The leak checks once at full length (100,000 calls per case, 100,000
# macusb open/read/drop cycles and 100,000 key-tap events).
stage "full-length leak checks"
TILESTREAM_LEAK_FULL=1 ctest --test-dir "$plain" --output-on-failure \
  -j "$jobs" -R '^py[23]\.(test_leaks|test_macusb|test_syskeys)$'

# A short run of Python tests under valgrind memcheck.
stage "memcheck"
"$top/tests/valgrind/run.sh" "$plain"

# The fuzz build (clang, libFuzzer): everything it holds is built, the
# generators run and its ctest replays the saved inputs; then the fuzz
# targets run for a minute each, side by side.
stage "fuzz build, replays and a minute of fuzzing"
fuzz=$top/build-fuzz
CC=clang CXX=clang++ BUILD_DIR=$fuzz "$top/scripts/build.sh" -DFUZZ=ON \
  -DBUILD_PYTHON_MODULES=OFF -DBUILD_BENCH=OFF
ctest --test-dir "$fuzz" --output-on-failure -j "$jobs"
"$top/fuzz/run.sh" "$fuzz" 60

# The 32-bit x86 build of the core and its C++ tests, its programs run the
# way TILESTREAM_I386_EMULATION says; then the same tests the other way:
# under qemu-i386 if they ran on the kernel, and on the kernel (if it runs
# i386 programs at all) if they ran under qemu-i386.
stage "i386 build and ctest (TILESTREAM_I386_EMULATION=$TILESTREAM_I386_EMULATION)"
i386=$top/build-i386
i386_build() {
  BUILD_DIR=$i386 "$top/scripts/build.sh" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/i386.cmake" \
    -DBUILD_PYTHON_MODULES=OFF -DBUILD_BENCH=OFF
}
i386_build
ctest --test-dir "$i386" --output-on-failure -j "$jobs"
runner=$(sed -n 's/^TILESTREAM_I386_RUNNER_USED:INTERNAL=//p' "$i386/CMakeCache.txt")
other=
if [ -n "$runner" ]; then
  # Ran under the emulator: again on the kernel, where it can run them.
  "$i386/CMakeFiles/i386-probe/probe" 2>/dev/null && other=OFF
else
  other=ON
fi
if [ -n "$other" ]; then
  stage "i386 ctest again (TILESTREAM_I386_EMULATION=$other)"
  TILESTREAM_I386_EMULATION=$other i386_build
  ctest --test-dir "$i386" --output-on-failure -j "$jobs"
else
  echo "== test.sh: this kernel runs no i386 programs: the i386 tests ran under qemu-i386 only"
fi
# The macOS modules cross-built against a macOS SDK (cmake/macos.cmake) for
# x86_64, arm64 and universal2, through scripts/build.sh and setup.py, and
# every symbol they import checked (tests/macos/check_bundles.py). Needs
# TILESTREAM_MACOS_SDK, the SDK's directory; the SDK is not part of the tree.
stage "macOS cross-build and bundle check"
if [ -n "${TILESTREAM_MACOS_SDK:-}" ]; then
  python3 "$top/tests/macos/check_bundles.py" --sdk "$TILESTREAM_MACOS_SDK" --build-root "$top/build-macos"
else
  echo "== test.sh: SKIPPED the macOS cross-build: TILESTREAM_MACOS_SDK is not set (the directory of a macOS SDK)"
fi
stage ""
echo "== test.sh: all stages passed in $(( $(date +%s) - started )) s"
