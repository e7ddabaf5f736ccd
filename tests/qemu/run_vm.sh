#!/usr/bin/env bash
# Boots Debian's kernel in qemu with a dummy USB host controller, our
# FunctionFS gadget on it and the host's root shared read-only, runs the
# bulkvideo scenarios inside, and judges them from the console log.
#
#   run_vm.sh SRC BUILD GADGET PY2 PY3 [SCENARIO...]   (PY2 '-': no 2.7 client)
#
# Environment: TSQ_TIMEOUT (seconds for the whole VM, default 300),
# TILESTREAM_QEMU_CACHE (kernel download cache), TSQ_WORK (work directory,
# default BUILD/tests/qemu/work), TSQ_SMP (virtual CPUs, default 2),
# TILESTREAM_LOAD_FULL=1 (the load and fault scenarios at full length: 256 MiB
# or 30 s of load, five rounds of each fault, and 900 s more for the VM; a
# few seconds each otherwise).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 5 ] || { echo "usage: run_vm.sh SRC BUILD GADGET PY2 PY3 [SCENARIO...]" >&2; exit 2; }
# The VM sees the host's root: every path must be absolute.
src=$(realpath -s "$1") build=$(realpath -s "$2") gadget=$(realpath -s "$3")
# PY2 may be '-': no CPython 2.7 client (the 32-bit build has none).
py2=$4 py3=$(realpath -s "$5")
[ "$py2" = - ] || py2=$(realpath -s "$py2")
shift 5
work=${TSQ_WORK:-$build/tests/qemu/work}
timeout_s=${TSQ_TIMEOUT:-300}
mkdir -p "$work"
work=$(realpath "$work")
for f in "$gadget" "$py2" "$py3"; do
  [ "$f" = - ] || [ -x "$f" ] || { echo "qemu: $f is missing" >&2; exit 1; }
done

start=$(date +%s.%N)
load=short
if [ "${TILESTREAM_LOAD_FULL:-0}" != 0 ]; then
  load=full
  timeout_s=$((timeout_s + 900))
fi
# Where each interpreter keeps its library and standard library, which the
# VM must see too (an unpacked interpreter may live in a cache under /tmp).
homes=
for py in "$py2" "$py3"; do
  [ "$py" = - ] && continue
  homes="$homes $("$py" -c 'import sys; print(sys.prefix + " " + sys.exec_prefix)' 2>/dev/null || true)"
done
cat > "$work/tsq.conf" <<EOF
TSQ_MAIN='$src/tests/qemu/vm_main.py'
TSQ_ARGS='--src $src --build $build --data $work/data --py2 $py2 --py3 $py3 --gadget $gadget --load $load $*'
TSQ_PATHS='$src $build $work/data $gadget $py2 $py3$homes'
EOF
/usr/bin/python3 "$here/vm_main.py" --prepare "$work/data" "$src"
prepared=$(date +%s.%N)

log="$work/console.log"
set +e
TSQ_TIMEOUT=$timeout_s "$here/boot_vm.sh" "$work"
qrc=$?
set -e
end=$(date +%s.%N)

# The verdict comes from the console log alone.
crc=0
/usr/bin/python3 "$here/check_console.py" "$log" "$@" || crc=$?
awk -v s="$start" -v b="$prepared" -v e="$end" -v q="$qrc" \
  'BEGIN { printf "qemu: data files %.1fs, boot files and VM %.1fs (qemu exit %d)\n", b - s, e - b, q }'
if [ $qrc -eq 124 ] || [ $qrc -eq 137 ]; then
  echo "qemu: the VM did not finish within ${timeout_s}s" >&2
  exit 1
fi
exit $crc
