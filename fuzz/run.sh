#!/usr/bin/env bash
# Runs the three fuzz targets of a FUZZ=ON build side by side for a while,
# from the seed corpus and the regression inputs (neither is written to).
# A crash fails the run, and its input is kept in fuzz/regressions/<target>/,
# from where ctest replays it in every build.
#
#   fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=${2:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
pids=()
for target in fuzz_videosink fuzz_shrink fuzz_readout; do
  mkdir -p "$work/$target.corpus" "$work/$target.crash"
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
      -rss_limit_mb=2048 -artifact_prefix="$work/$target.crash/" \
      "$work/$target.corpus" "$top/fuzz/corpus/$target" "$top/fuzz/regressions/$target" \
      >"$work/$target.log" 2>&1 &
  pids+=($!)
done
status=0
i=0
for target in fuzz_videosink fuzz_shrink fuzz_readout; do
  if wait "${pids[$i]}"; then
    execs=$(sed -n 's/^stat::number_of_executed_units: //p' "$work/$target.log")
    echo "fuzz: $target: ${execs:-?} executions in ${seconds}s, no failure"
  else
    status=1
    echo "fuzz: $target FAILED; the end of its log:"
    tail -n 40 "$work/$target.log"
    for crash in "$work/$target.crash"/*; do
      [ -e "$crash" ] || continue
      cp "$crash" "$top/fuzz/regressions/$target/"
      echo "fuzz: kept fuzz/regressions/$target/$(basename "$crash")"
    done
  fi
  i=$((i + 1))
done
exit $status
