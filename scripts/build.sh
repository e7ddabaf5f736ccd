#!/usr/bin/env bash
# Configures and builds everything into build/ (or $BUILD_DIR); further
# arguments go to cmake's configure step. TILESTREAM_I386_EMULATION (AUTO,
# ON or OFF) says how i386 programs run here: see cmake/I386Emulation.cmake.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTILESTREAM_I386_EMULATION="${TILESTREAM_I386_EMULATION:-AUTO}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
