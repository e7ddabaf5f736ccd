#!/usr/bin/env bash
# Boots the test VM: Debian's kernel under qemu (TCG) with a dummy USB host
# controller and the host's root shared read-only over 9p. Its /init
# (init.sh) runs TSQ_MAIN with TSQ_ARGS, chrooted into the host's root, as
# WORK/tsq.conf says; the console goes to WORK/console.log.
#
#   boot_vm.sh WORK
#
# Exit status: qemu's (124 or 137: the VM did not finish in time).
# Environment: TSQ_TIMEOUT (seconds for the whole VM, default 300), TSQ_SMP
# (virtual CPUs, default 2), TILESTREAM_QEMU_CACHE (kernel download cache).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=${1:?usage: boot_vm.sh WORK}
"$here/build_initramfs.sh" "$work" "$work/tsq.conf"
rm -f "$work/console.log"
set +e
# KVM does not work on these machines; TCG is slow to boot but reliable.
timeout -k 10 "${TSQ_TIMEOUT:-300}" qemu-system-x86_64 \
  -accel tcg -cpu max -smp "${TSQ_SMP:-2}" -m 1024 \
  -kernel "$work/vmlinuz" -initrd "$work/initramfs.cpio.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4 quiet rdinit=/init" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -display none -monitor none -serial "file:$work/console.log" -no-reboot -nodefaults \
  > "$work/qemu.out" 2>&1
