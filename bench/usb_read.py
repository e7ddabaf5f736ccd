"""The transport benchmark's Python readers, run in the test VM by
bench/usb_transport.py under each client interpreter:

    usb_read.py bulkvideo|pyusb NODE ENDPOINT SECONDS WARMUP

bulkvideo: the module's ring (nine 16 KiB requests), readVideo in a loop,
each view dropped as the next read comes (its bytes are the application's
business, not counted here). pyusb: Debian's python3-usb, read(ENDPOINT,
16384) in a loop (libusb_bulk_transfer, one transfer in flight, the bytes
copied into a new array). NODE is the device's usbdevfs node; interface 0
is claimed. Once the reader is set up, the bytes of the first WARMUP
seconds are not counted, then those of SECONDS. Prints

    READ reader=NAME bytes=N seconds=S cpu=C vm_busy=B vm_user=U vm_system=K vm_softirq=I
         vm_timer_irqs=T python=X.Y.Z bits=B

(as bench/usb_reader.c says).

Runs under Python 2.7 and 3."""
from __future__ import print_function

import fcntl
import os
import platform
import resource
import struct
import sys
import time


def usage():
    """The machine's processor ticks (the first line of /proc/stat) and
    this process's processor seconds."""
    with open('/proc/stat') as f:
        ticks = [int(v) for v in f.readline().split()[1:9]]
    irqs = 0
    with open('/proc/interrupts') as f:
        for line in f:
            words = line.split()
            if words and words[0] == 'LOC:':
                irqs = sum(int(w) for w in words[1:] if w.isdigit())
    r = resource.getrusage(resource.RUSAGE_SELF)
    return ticks, r.ru_utime + r.ru_stime, irqs


def shares(first, last):
    d = [b - a for a, b in zip(first[0], last[0])]
    total = float(sum(d)) or 1.0
    return ('cpu=%.4f vm_busy=%.3f vm_user=%.3f vm_system=%.3f vm_softirq=%.3f vm_timer_irqs=%d'
            % (last[1] - first[1], 1 - (d[3] + d[4]) / total, (d[0] + d[1]) / total, d[2] / total,
               (d[5] + d[6]) / total, last[2] - first[2]))


def bulkvideo_reader(node, ep):
    import bulkvideo
    if struct.calcsize('P') == 4:
        import usbconsts_i386 as usbconsts
    else:
        import usbconsts
    fd = os.open(node, os.O_RDWR)
    fcntl.ioctl(fd, usbconsts.USBDEVFS_CLAIMINTERFACE, struct.pack('I', 0))
    handle = bulkvideo.attach(fd, ep)
    read = bulkvideo.readVideo

    def one():
        return len(read(handle))

    def close():
        bulkvideo.detach(handle)
        fcntl.ioctl(fd, usbconsts.USBDEVFS_RELEASEINTERFACE, struct.pack('I', 0))
    return one, close


def pyusb_reader(node, ep):
    import usb.core
    import usb.util
    bus, address = [int(p) for p in node.rstrip('/').split('/')[-2:]]
    dev = usb.core.find(bus=bus, address=address)
    if dev is None:
        raise SystemExit('usb_read: pyusb finds no device at %s' % node)
    usb.util.claim_interface(dev, 0)

    def one():
        return len(dev.read(ep, 16384, 5000))

    def close():
        usb.util.release_interface(dev, 0)
        usb.util.dispose_resources(dev)
    return one, close


def main(argv):
    if len(argv) != 5 or argv[0] not in ('bulkvideo', 'pyusb'):
        print(__doc__, file=sys.stderr)
        return 2
    name, node, ep, seconds, warmup = argv[0], argv[1], int(argv[2], 0), float(argv[3]), float(argv[4])
    one, close = (bulkvideo_reader if name == 'bulkvideo' else pyusb_reader)(node, ep)
    print('SETUP done')  # for a profiler to start
    sys.stdout.flush()
    start = time.time() + warmup
    until = start + seconds
    now = time.time
    got = 0
    first = None
    while True:
        n = one()
        t = now()
        if t >= until:
            break
        if t >= start:
            if first is None:
                first = usage()
            got += n
    last = usage()
    close()
    print('READ reader=%s bytes=%d seconds=%.6f %s python=%s bits=%d'
          % (name, got, seconds, shares(first or last, last), platform.python_version(),
             8 * struct.calcsize('P')))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
