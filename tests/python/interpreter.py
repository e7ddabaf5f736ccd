"""The command that starts another copy of the running interpreter.

A 32-bit interpreter may run under an emulator (qemu-i386) on a kernel
without IA-32 emulation; the emulator does not follow exec, so a child must
be started through it too. The build says how in TILESTREAM_PYTHON_RUNNER
(empty where programs run directly). Runs under Python 2.7 and 3."""
import os
import sys


def command():
    return os.environ.get("TILESTREAM_PYTHON_RUNNER", "").split() + [sys.executable]
