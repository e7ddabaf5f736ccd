#!/usr/bin/env bash
# A short run of the frame module's Python tests under valgrind memcheck, on
# the build's CPython 2.7 and 3 (or those named; 64-bit or, in the i386
# build, 32-bit: Debian's valgrind has both kinds of tools), and of the saved
# fuzz inputs: any invalid access, use of uninitialised memory or definite
# leak fails it. The interpreters' own noise is suppressed (python.supp);
# CPython 3 uses the plain allocator so memcheck sees every object.
#
#   tests/valgrind/run.sh [BUILD_DIR [ID...]]      ID: 2, 3 (default: both)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "${1:-$top/build}")
shift || true
ids=("$@")
[ ${#ids[@]} -gt 0 ] || ids=(2 3)
# The interpreters the build was configured with.
[ -f "$build/tilestream.env" ] || { echo "valgrind: $build is not configured" >&2; exit 1; }
. "$build/tilestream.env"
for v in "${ids[@]}"; do
  py=PYTHON${v}_EXECUTABLE
  [ -x "${!py:-}" ] || { echo "valgrind: $build has no CPython $v built for" >&2; exit 1; }
done
tests=(test_vidframe test_split)
memcheck=(valgrind -q --error-exitcode=99 --suppressions="$top/tests/valgrind/python.supp"
          --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
          --num-callers=20)
cd "$top/tests/python"
status=0
for v in "${ids[@]}"; do
  py=PYTHON${v}_EXECUTABLE
  modules=PYTHON${v}_MODULES
  echo "valgrind: ${!py} ${tests[*]}"
  if ! PYTHONMALLOC=malloc PYTHONPATH="${!modules}:$top/tests/python" \
      "${memcheck[@]}" "${!py}" -m unittest "${tests[@]}" 2>&1 | tail -n 40; then
    status=1
  fi
done
# The saved fuzz inputs through the build's replay drivers.
for target in fuzz_videosink fuzz_shrink fuzz_readout; do
  echo "valgrind: $target"
  if ! "${memcheck[@]}" "$build/fuzz/$target" "$top/fuzz/corpus/$target" \
      "$top/fuzz/regressions/$target"; then
    status=1
  fi
done
exit $status
