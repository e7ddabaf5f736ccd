#!/usr/bin/env bash
# The view test under load, as on a shared CI machine: test_view.py RUNS
# times (default 20) with two busy processes beside it. Not part of the
# test command. Prints each run's verdict and time, the logs of the runs
# that failed, and "passed P of RUNS"; exit status 0 when all passed.
#
#   tests/vidtool/stress_view.sh [RUNS]
#
# BUILD_DIR names the build whose modules view uses (default build/);
# TILESTREAM_REQUIRE (default "xvfb umockdev") makes a skip for want of
# either a failure, so that every run really ran.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-20}
build=${BUILD_DIR:-$top/build}
python=${PYTHON:-/usr/bin/python3}
export TILESTREAM_REQUIRE=${TILESTREAM_REQUIRE-"xvfb umockdev"}
logs=$(mktemp -d "${TMPDIR:-/tmp}/stress-view.XXXXXX")

busy=()
stop_busy() {
  [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null
  wait "${busy[@]}" 2>/dev/null
}
trap stop_busy EXIT
for _ in 1 2; do
  sh -c 'while :; do :; done' &
  busy+=($!)
done

passed=0
for i in $(seq 1 "$runs"); do
  started=$(date +%s%N)
  # ctest's limit for the file; a run that reaches it has hung.
  if TILESTREAM_BUILD=$build timeout -s INT -k 10 300 "$python" -m pytest -q -p no:cacheprovider -rs \
      "$top/tests/vidtool/test_view.py" >"$logs/run-$i.log" 2>&1; then
    verdict=passed
    passed=$((passed + 1))
  else
    verdict=FAILED
  fi
  echo "run $i: $verdict in $(( ($(date +%s%N) - started) / 1000000 )) ms ($(tail -n 1 "$logs/run-$i.log"))"
done
for i in $(seq 1 "$runs"); do
  if ! grep -q " passed" "$logs/run-$i.log" || grep -q -E "failed|error" "$logs/run-$i.log"; then
    echo "---- run $i ($logs/run-$i.log)"
    tail -n 40 "$logs/run-$i.log"
  fi
done
echo "passed $passed of $runs (load: two busy processes; logs in $logs)"
[ "$passed" -eq "$runs" ]
