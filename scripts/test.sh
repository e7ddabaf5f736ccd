#!/usr/bin/env bash
# Every test: sets the machine up, builds, and runs the C++ and Python tests
# (both interpreters) through ctest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
ctest --test-dir "${BUILD_DIR:-$top/build}" --output-on-failure -j "$(nproc)"
