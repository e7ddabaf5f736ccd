#!/usr/bin/env bash
# Builds the test VM's boot files into WORKDIR: vmlinuz and initramfs.cpio.gz.
#
#   build_initramfs.sh WORKDIR CONFIG
#
# The kernel is Debian's current amd64 image (resolved through the
# linux-image-amd64 package), fetched once per machine into the cache
# directory ($TILESTREAM_QEMU_CACHE, default /var/cache/tilestream-qemu) and
# unpacked there once per version. The initramfs holds busybox (static), the
# USB gadget, dummy host controller and 9p modules in load order, init.sh as
# /init, and CONFIG (shell variable assignments) as /tsq.conf.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=${1:?usage: build_initramfs.sh WORKDIR CONFIG}
config=${2:?usage: build_initramfs.sh WORKDIR CONFIG}
cache=${TILESTREAM_QEMU_CACHE:-/var/cache/tilestream-qemu}
mkdir -p "$work" "$cache"

# ---- the kernel package ----------------------------------------------------
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
      awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
deb=
if [ -n "$pkg" ]; then
  deb=$(ls -t "$cache/${pkg}"_*.deb 2>/dev/null | head -n1 || true)
  if [ -z "$deb" ]; then
    echo "qemu: downloading $pkg into $cache"
    (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >/dev/null)
    deb=$(ls -t "$cache/${pkg}"_*.deb | head -n1)
  fi
else
  # No package lists (offline): use the newest image already fetched.
  deb=$(ls -t "$cache"/linux-image-*-amd64_*.deb 2>/dev/null | head -n1 || true)
fi
if [ -z "$deb" ] || [ ! -s "$deb" ]; then
  echo "qemu: no kernel package: run apt-get update, or put a linux-image .deb into $cache" >&2
  exit 1
fi

tree="$cache/$(basename "$deb" .deb)"
if [ ! -f "$tree/.complete" ]; then
  rm -rf "$tree"
  mkdir -p "$tree"
  dpkg-deb -x "$deb" "$tree"
  touch "$tree/.complete"
fi
kver=$(ls "$tree/lib/modules" | head -n1)
moddir="$tree/lib/modules/$kver/kernel"
cp "$tree/boot/vmlinuz-$kver" "$work/vmlinuz"

# ---- modules, dependencies first --------------------------------------------
wanted="usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs
        virtio_pci 9pnet_virtio 9p"
declare -A seen=()
order=()
modfile() {  # the .ko of a module name; '-' and '_' are the same to the kernel
  local alt=${1//_/-}
  find "$moddir" \( -name "$1.ko" -o -name "${1//-/_}.ko" -o -name "$alt.ko" \) -print -quit
}
visit() {
  local name=$1 file deps dep
  [ -n "${seen[$name]:-}" ] && return
  seen[$name]=1
  file=$(modfile "$name")
  if [ -z "$file" ]; then
    # Built into the kernel: nothing to load.
    grep -q "/${name//_/[-_]}.ko\$" "$tree/lib/modules/$kver/modules.builtin" 2>/dev/null && return
    echo "qemu: module $name not found in $deb" >&2
    exit 1
  fi
  deps=$(strings "$file" | sed -n 's/^depends=//p' | head -n1 | tr ',' ' ')
  for dep in $deps; do visit "$dep"; done
  order+=("$file")
}
for m in $wanted; do visit "$m"; done

root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,host,modules,tmp}
: > "$root/modules/order"
for f in "${order[@]}"; do
  cp "$f" "$root/modules/"
  basename "$f" .ko >> "$root/modules/order"
done
cp /bin/busybox "$root/bin/busybox"
if ldd "$root/bin/busybox" >/dev/null 2>&1; then
  echo "qemu: /bin/busybox is not static (install busybox-static)" >&2
  exit 1
fi
cp "$here/init.sh" "$root/init"
chmod 755 "$root/init"
cp "$config" "$root/tsq.conf"

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$work/initramfs.cpio.gz"
echo "qemu: kernel $kver, modules: $(tr '\n' ' ' < "$root/modules/order")"
