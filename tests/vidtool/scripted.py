"""The scripted usbdevfs device of vidtool's device tests (tests/usbfake):
one per test, closed with it."""
from required import skip_or_fail


def device(test):
    """A FakeUsbDevice for `test`, closed at its cleanup. Without umockdev
    the test skips, or fails where the test command requires it."""
    try:
        from usbfake import FakeUsbDevice
    except (ImportError, ValueError) as e:
        skip_or_fail(test, "umockdev", "no umockdev (python3-gi, gir1.2-umockdev-1.0): %s" % e)
    dev = FakeUsbDevice()
    test.addCleanup(dev.close)
    # The preload serialises a descriptor's ioctls: a blocked read is
    # answered with EINTR now and then, so that the detach gets through.
    dev.set_tick(0.01)
    return dev
