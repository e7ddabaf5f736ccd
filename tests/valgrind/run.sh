#!/usr/bin/env bash
# A short run of the frame module's Python tests under valgrind memcheck, on
# both interpreters, and of the saved fuzz inputs: any invalid access, use of
# uninitialised memory or definite leak fails it. The interpreters' own noise is suppressed
# (python.supp); CPython 3 uses the plain allocator so memcheck sees every
# object.
#
#   tests/valgrind/run.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
# The interpreters the build was configured with.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
py2=$(cached PYTHON2_EXECUTABLE)
py3=$(cached PYTHON3_EXECUTABLE)
[ -x "$py2" ] && [ -x "$py3" ] || { echo "valgrind: no interpreters in $build/CMakeCache.txt" >&2; exit 1; }
tests=(test_vidframe test_split)
memcheck=(valgrind -q --error-exitcode=99 --suppressions="$top/tests/valgrind/python.supp"
          --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
          --num-callers=20)
cd "$top/tests/python"
status=0
for v in 2 3; do
  py=$py2
  [ $v = 3 ] && py=$py3
  echo "valgrind: python$v ${tests[*]}"
  if ! PYTHONMALLOC=malloc PYTHONPATH="$build/python$v:$top/tests/python" \
      "${memcheck[@]}" "$py" -m unittest "${tests[@]}" 2>&1 | tail -n 40; then
    status=1
  fi
done
# The saved fuzz inputs through the plain build's replay drivers.
for target in fuzz_videosink fuzz_shrink fuzz_readout; do
  echo "valgrind: $target"
  if ! "${memcheck[@]}" "$build/fuzz/$target" "$top/fuzz/corpus/$target" \
      "$top/fuzz/regressions/$target"; then
    status=1
  fi
done
exit $status
