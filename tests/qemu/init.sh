#!/bin/busybox sh
# /init of the test VM. Loads the USB gadget and dummy host controller
# modules, creates a configfs gadget with one FunctionFS function (bound to
# dummy_udc.0 later, once the gadget program has written its descriptors),
# mounts the host's root read-only over 9p and runs TSQ_MAIN (vm_main.py, the
# scenarios; or the transport benchmark) chrooted into it, so the host's
# interpreters and built modules run unchanged. TSQ_PATHS are the host paths
# it needs (those under /tmp are bound into the VM's own /tmp).
# Lines for the host's runner start with "TSQ".
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
. /tsq.conf

finish() {
  echo "TSQ exit $1"
  sync
  poweroff -f
}

while read -r m; do
  insmod "/modules/$m.ko" || { echo "TSQ FAIL boot insmod $m"; finish 1; }
done < /modules/order

mount -t configfs configfs /sys/kernel/config || finish 1
g=/sys/kernel/config/usb_gadget/tsq
mkdir "$g" "$g/strings/0x409" "$g/configs/c.1" "$g/configs/c.1/strings/0x409" \
      "$g/functions/ffs.video" || finish 1
echo 0x1d6b > "$g/idVendor"
echo 0x0104 > "$g/idProduct"
echo 0x0200 > "$g/bcdUSB"
echo tsq0001 > "$g/strings/0x409/serialnumber"
echo tilestream > "$g/strings/0x409/manufacturer"
echo "test video source" > "$g/strings/0x409/product"
echo "stream" > "$g/configs/c.1/strings/0x409/configuration"
echo 100 > "$g/configs/c.1/MaxPower"
ln -s "$g/functions/ffs.video" "$g/configs/c.1/" || finish 1
mkdir -p /dev/ffs-video
mount -t functionfs video /dev/ffs-video || finish 1

mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host ||
  { echo "TSQ FAIL boot 9p"; finish 1; }
mount -o rbind /dev /host/dev
mount -t proc proc /host/proc
mount -o rbind /sys /host/sys
mount -t tmpfs tmpfs /host/run
# Xvfb keeps its socket and lock in /tmp (and compiles keymaps there): a
# writable tmpfs over the host's. What the scenarios need from the host's
# /tmp (the tree may be checked out there) is bound back into it.
mkdir -p /hosttmp
mount -o bind /host/tmp /hosttmp
mount -t tmpfs -o size=16m,mode=1777 tmpfs /host/tmp
for p in $TSQ_PATHS; do
  case "$p" in
    /tmp/?*)
      top=${p#/tmp/}
      top=${top%%/*}
      if [ -e "/hosttmp/$top" ] && ! [ -e "/host/tmp/$top" ]; then
        mkdir -p "/host/tmp/$top"
        mount -o bind "/hosttmp/$top" "/host/tmp/$top" ||
          { echo "TSQ FAIL boot bind /tmp/$top"; finish 1; }
      fi
      ;;
  esac
done

echo "TSQ boot ok $(cut -d' ' -f1 /proc/uptime)s"
chroot /host /usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME=/run \
  PYTHONDONTWRITEBYTECODE=1 LANG=C.UTF-8 \
  /usr/bin/python3 "$TSQ_MAIN" --ffs /dev/ffs-video --config "$g" $TSQ_ARGS
finish $?
