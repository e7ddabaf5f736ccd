#!/usr/bin/env bash
# Every test: sets the machine up, builds, and runs the C++ and Python tests
# (every interpreter of the machine) through ctest, then the hardening runs
# and one stage per further platform (i386, arm64, and the macOS cross-build
# where TILESTREAM_MACOS_SDK names an SDK). Each stage says when it starts
# and how long it took.
#
# TILESTREAM_I386_EMULATION=AUTO|ON|OFF (default AUTO) says how i386 programs
# run on this host (cmake/I386Emulation.cmake); the i386 stage also runs its
# tests the other way this host allows, so both kinds of host are covered.
# The arm64 stage always runs its programs under qemu-aarch64.
#
# TILESTREAM_REQUIRE names what the set-up machine must have (default below:
# Xvfb, Pillow, umockdev, the vector paths this processor runs, and the
# interpreters of the i386 and arm64 builds, <platform>-python<tag> of
# cmake/interpreters.txt): a test that would skip
# for want of one fails instead, and so does the configure of a build whose
# interpreter is missing. TILESTREAM_WITHOUT takes words out of it, where a
# machine cannot have them (setup says which): TILESTREAM_WITHOUT=i386-python2
# runs the i386 stage without that interpreter if it is missing, and says so.
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

# Every platform is a toolchain file cmake/<name>.cmake and a build tree
# build-<name>/, configured and built the same way (scripts/build.sh); its
# stage builds it and runs what runs here.
platform_build() {
  local name=$1
  shift
  BUILD_DIR=$top/build-$name "$top/scripts/build.sh" \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$name.cmake" "$@"
}
platform_ctest() {
  local name=$1
  shift
  tree_ctest "$top/build-$name" "$@"
}
# A tree's ctest (further arguments go to ctest), then the summary of that
# run: every test, the Python tests per interpreter and every skip reason.
# Fails after the summary when either saw a failure.
tree_ctest() {
  local build=$1 rc=0
  shift
  ctest --test-dir "$build" --output-on-failure -j "$jobs" \
    --output-junit Testing/Temporary/LastTest.junit.xml "$@" || rc=$?
  "$top/scripts/python_summary.py" "$build" || rc=1
  return $rc
}

stage "setup"
"$top/scripts/setup.sh"
# What the setup provides is required from here on: a test that would skip
# for want of one of these fails instead (tests/python/required.py,
# tests/cpp/required.h), and a build whose interpreter is missing does not
# configure (cmake/PackagedPython.cmake). "vector-paths": the vector paths this
# processor runs are all built and offered, in every stage (an aarch64
# processor runs none, so its stage has nothing to want).
require=" ${TILESTREAM_REQUIRE-"xvfb pillow umockdev vector-paths i386-python2 i386-python3 aarch64-python3"} "
for word in ${TILESTREAM_WITHOUT:-}; do
  require=${require// $word / }
  echo "== test.sh: WITHOUT $word (TILESTREAM_WITHOUT): not required; what needs it is left out where it is missing"
done
TILESTREAM_REQUIRE=$(echo $require)
export TILESTREAM_REQUIRE
echo "== test.sh: TILESTREAM_REQUIRE=\"$TILESTREAM_REQUIRE\""

stage "plain build and ctest"
BUILD_DIR=$plain "$top/scripts/build.sh"
tree_ctest "$plain"

# Hardening. The sanitized build (ASan + UBSan): C++ tests and fuzz replays,
# then the Python tests in interpreters with the ASan runtime preloaded (the
# device test beds, which preload their own libraries, stay with the plain
# build).
stage "sanitized build and ctest"
asan=$top/build-asan
BUILD_DIR=$asan "$top/scripts/build.sh" -DSANITIZE=ON -DBUILD_BENCH=OFF \
  -DTILESTREAM_PYTHON_VERSIONS="2;3"
tree_ctest "$asan" -E '^(py[23]\.|usbfake|qemu|vidtool)'
ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc LD_PRELOAD="$(gcc -print-file-name=libasan.so)" \
  tree_ctest "$asan" -R '^(py[23]\.|vidtool$)'

# The leak checks once at full length (100,000 calls per case, 100,000
# macusb open/read/drop cycles and 100,000 key-tap events).
stage "full-length leak checks"
TILESTREAM_LEAK_FULL=1 tree_ctest "$plain" -R '^py[23]\.(test_leaks|test_macusb|test_syskeys)$'

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
tree_ctest "$fuzz"
"$top/fuzz/run.sh" "$fuzz" 60

# The 32-bit x86 build, the application's ABI: the core and its C++ tests,
# the modules in the 32-bit CPython 2.7 and 3 with every Python test, and the
# real-kernel bed with both 32-bit clients; then, as for the 64-bit 2.7, the
# leak checks at full length and memcheck on the 32-bit 2.7. Its
# programs run the way TILESTREAM_I386_EMULATION says; then the tests once
# more the other way (the bed, which runs its own kernel, only once): under
# qemu-i386 if they ran on the kernel, and on the kernel (if it runs i386
# programs at all) if they ran under qemu-i386.
stage "i386 build and ctest (TILESTREAM_I386_EMULATION=$TILESTREAM_I386_EMULATION)"
i386=$top/build-i386
platform_build i386
platform_ctest i386
# Whether the kernel runs i386 programs (the build's probe).
kernel_runs_i386=
"$i386/CMakeFiles/i386-probe/probe" 2>/dev/null && kernel_runs_i386=yes

# Two single-threaded runs, side by side: memcheck (valgrind's x86 tools run
# i386 programs as the kernel does) into a log printed when it ends.
stage "i386 full-length leak checks and memcheck (CPython 2.7)"
if [ -z "$(. "$i386/tilestream.env" && echo "${PYTHON2_EXECUTABLE:-}")" ]; then
  echo "== test.sh: SKIPPED: the i386 build has no CPython 2.7 (TILESTREAM_WITHOUT names i386-python2)"
else
  memcheck_pid=
  if [ -n "$kernel_runs_i386" ]; then
    "$top/tests/valgrind/run.sh" "$i386" 2 > "$i386/memcheck.log" 2>&1 &
    memcheck_pid=$!
  else
    echo "== test.sh: this kernel runs no i386 programs: no memcheck of the i386 build"
  fi
  leaks=0
  TILESTREAM_LEAK_FULL=1 tree_ctest "$i386" -R '^py2\.test_leaks$' || leaks=$?
  if [ -n "$memcheck_pid" ]; then
    memcheck=0
    wait "$memcheck_pid" || memcheck=$?
    cat "$i386/memcheck.log"
    [ "$memcheck" = 0 ] || { echo "== test.sh: memcheck of the i386 build failed"; exit 1; }
  fi
  [ "$leaks" = 0 ] || exit 1
fi

runner=$(. "$i386/tilestream.env" && echo "$TILESTREAM_TARGET_RUNNER")
other=
if [ -n "$runner" ]; then
  # Ran under the emulator: again on the kernel, where it can run them.
  [ -z "$kernel_runs_i386" ] || other=OFF
else
  other=ON
fi
if [ -n "$other" ]; then
  stage "i386 ctest again (TILESTREAM_I386_EMULATION=$other)"
  TILESTREAM_I386_EMULATION=$other platform_build i386
  platform_ctest i386 -E '^qemu\.'
else
  echo "== test.sh: this kernel runs no i386 programs: the i386 tests ran under qemu-i386 only"
fi

# The 64-bit Arm build (clang, cmake/aarch64.cmake): the core's C++ tests,
# fuzz replays and usbconstgen, and the modules in Debian's arm64 CPython
# with every Python test, all under qemu-aarch64. Unsanitized: ASan under
# qemu's user-mode emulation is not reliable.
stage "arm64 build and ctest (qemu-aarch64)"
platform_build aarch64 -DBUILD_BENCH=OFF
platform_ctest aarch64

# The macOS modules cross-built against a macOS SDK (cmake/macos.cmake) for
# x86_64, arm64 and universal2, through scripts/build.sh and setup.py, and
# every symbol they import checked (tests/macos/check_bundles.py). Needs
# TILESTREAM_MACOS_SDK, the SDK's directory; the SDK is not part of the tree.
stage "macOS cross-build and bundle check"
if [ -n "${TILESTREAM_MACOS_SDK:-}" ]; then
  /usr/bin/python3 "$top/tests/macos/check_bundles.py" --sdk "$TILESTREAM_MACOS_SDK" \
    --build-root "$top/build-macos" --host-build "$plain"
else
  echo "== test.sh: SKIPPED the macOS cross-build: TILESTREAM_MACOS_SDK is not set (the directory of a macOS SDK)"
fi
stage ""
echo "== test.sh: all stages passed in $(( $(date +%s) - started )) s"
