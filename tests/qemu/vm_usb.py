"""The gadget as the VM's USB host side sees it: its ids, and its usbdevfs
node once it is enumerated. Shared by the scenario runner and the clients
(Python 2.7 and 3)."""
import glob
import os

VENDOR, PRODUCT = '1d6b', '0104'


def read(path):
    """A sysfs attribute's text, or '' where it cannot be read (the device
    may be going away)."""
    try:
        with open(path) as f:
            return f.read().strip()
    except (IOError, OSError):
        return ''


def find_device():
    """(usbdevfs node, interface directory) of the enumerated gadget, or
    None while it is not there (or its endpoints are not yet)."""
    for dev in glob.glob('/sys/bus/usb/devices/*'):
        if read(dev + '/idVendor') == VENDOR and read(dev + '/idProduct') == PRODUCT:
            intf = dev + '/' + os.path.basename(dev) + ':1.0'
            try:
                node = '/dev/bus/usb/%03d/%03d' % (int(read(dev + '/busnum')),
                                                   int(read(dev + '/devnum')))
            except ValueError:  # going away while we look
                continue
            if glob.glob(intf + '/ep_*') and os.path.exists(node):
                return node, intf
    return None
