#!/usr/bin/env bash
# Builds the test VM's boot files into WORKDIR: vmlinuz and initramfs.cpio.gz,
# and kernel.info (the kernel package, its HZ and dummy_hcd's kind of timer).
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
mkdir -p "$work"
if ! { mkdir -p "$cache" && [ -w "$cache" ]; } 2>/dev/null; then
  # Not ours to write (not root, read-only /var): a cache of this user's.
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/tilestream-qemu
  mkdir -p "$cache"
fi
# One download and unpacking at a time, whatever runs share the cache.
exec 9> "$cache/.lock"
flock 9

# ---- the kernel package ----------------------------------------------------
resolve() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
pkg=$(resolve)
if [ -z "$pkg" ] && ! ls "$cache"/linux-image-*-amd64_*.deb >/dev/null 2>&1; then
  # A fresh machine may have no package lists yet.
  apt-get update -qq >/dev/null 2>&1 || true
  pkg=$(resolve)
fi
deb=
if [ -n "$pkg" ]; then
  deb=$(ls -t "$cache/${pkg}"_*.deb 2>/dev/null | head -n1 || true)
  if [ -z "$deb" ]; then
    echo "qemu: downloading $pkg into $cache"
    (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >/dev/null)
    deb=$(ls -t "$cache/${pkg}"_*.deb | head -n1)
    # Older kernels are of no further use.
    for old in "$cache"/linux-image-*.deb; do
      [ "$old" = "$deb" ] || rm -rf "$old" "${old%.deb}"-*
    done
  fi
else
  # No package lists (offline): use the newest image already fetched.
  deb=$(ls -t "$cache"/linux-image-*-amd64_*.deb 2>/dev/null | head -n1 || true)
fi
if [ -z "$deb" ] || [ ! -s "$deb" ]; then
  echo "qemu: no kernel package: run apt-get update, or put a linux-image .deb into $cache" >&2
  exit 1
fi

# ---- kernel and modules, dependencies first ---------------------------------
# Unpacked once per kernel version and module list; only what the VM loads is kept.
wanted="usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_fs
        virtio_pci 9pnet_virtio 9p"
tree="$cache/$(basename "$deb" .deb)-$(echo $wanted | md5sum | cut -c1-8)"
if [ ! -f "$tree/.complete" ]; then
  rm -rf "$tree"
  unpacked=$(mktemp -d "$cache/unpack.XXXXXX")
  trap 'rm -rf "$unpacked"' EXIT
  dpkg-deb -x "$deb" "$unpacked"
  kver=$(ls "$unpacked/lib/modules" | head -n1)
  moddir="$unpacked/lib/modules/$kver/kernel"
  declare -A seen=()
  order=()
  modfile() {  # the .ko of a module name; '-' and '_' are the same to the kernel
    find "$moddir" \( -name "$1.ko" -o -name "${1//-/_}.ko" -o -name "${1//_/-}.ko" \) -print -quit
  }
  visit() {
    local name=$1 file deps dep
    [ -n "${seen[$name]:-}" ] && return
    seen[$name]=1
    file=$(modfile "$name")
    if [ -z "$file" ]; then
      # Built into the kernel: nothing to load.
      grep -q "/${name//_/[-_]}.ko\$" "$unpacked/lib/modules/$kver/modules.builtin" && return
      echo "qemu: module $name not found in $deb" >&2
      exit 1
    fi
    deps=$(strings "$file" | sed -n 's/^depends=//p' | head -n1 | tr ',' ' ')
    for dep in $deps; do visit "$dep"; done
    order+=("$file")
  }
  for m in $wanted; do visit "$m"; done
  mkdir -p "$tree/modules"
  cp "$unpacked/boot/vmlinuz-$kver" "$tree/vmlinuz"
  cp "$unpacked/boot/config-$kver" "$tree/config"
  for f in "${order[@]}"; do
    cp "$f" "$tree/modules/"
    basename "$f" .ko >> "$tree/modules/order"
  done
  rm -rf "$unpacked"
  trap - EXIT
  touch "$tree/.complete"
fi
# The kernel's configuration (HZ), kept beside an unpacked tree (added to
# trees unpacked before it was kept).
if [ ! -s "$tree/config" ]; then
  dpkg-deb --fsys-tarfile "$deb" | tar -xO --wildcards './boot/config-*' > "$tree/config.new"
  mv "$tree/config.new" "$tree/config"
fi
exec 9>&-
cp "$tree/vmlinuz" "$work/vmlinuz"
# What a measurement made in the VM must say of its kernel.
{
  echo "package $(basename "$deb" .deb)"
  grep '^CONFIG_HZ=' "$tree/config" | tr '=' ' '
  if grep -qa hrtimer_start "$tree/modules/dummy_hcd.ko"; then
    echo "dummy_hcd_timer hrtimer, every 125 us"
  else
    echo "dummy_hcd_timer a timer_list, once a jiffy"
  fi
} > "$work/kernel.info"

root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,host,tmp}
cp -r "$tree/modules" "$root/modules"
cp /bin/busybox "$root/bin/busybox"
if ldd "$root/bin/busybox" >/dev/null 2>&1; then
  echo "qemu: /bin/busybox is not static (install busybox-static)" >&2
  exit 1
fi
cp "$here/init.sh" "$root/init"
chmod 755 "$root/init"
cp "$config" "$root/tsq.conf"

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$work/initramfs.cpio.gz"
echo "qemu: $(basename "$tree"), modules: $(tr '\n' ' ' < "$root/modules/order")"
