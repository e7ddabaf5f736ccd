"""usbconstgen: the i386 build prints the known i386 lines byte for byte, and
each build's values agree with the usbdevfs header of its own ABI (checked by
compiling static assertions against the header). A cross build's generator
(aarch64) runs under the build's runner and is checked against the header
of its target."""
import os
import platform
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("TILESTREAM_BUILD", "")
GEN = os.path.join(BUILD, "usbconstgen", "usbconstgen")
GEN32 = os.path.join(BUILD, "usbconstgen", "usbconstgen32")

I386_REFERENCE = (
    "USBDEVFS_SETCONFIGURATION = 0x80045505\n"
    "USBDEVFS_CONTROL = 0xc0105500\n"
    "USBDEVFS_BULK = 0xc0105502\n"
    "USBDEVFS_GETDRIVER = 0x41045508\n"
    "USBDEVFS_SETINTERFACE = 0x80085504\n"
    "USBDEVFS_CLAIMINTERFACE = 0x8004550f\n"
    "USBDEVFS_RELEASEINTERFACE = 0x80045510\n"
    "USBDEVFS_RESET = 0x5514\n"
    "USBDEVFS_RESETEP = 0x80045503\n"
    "USBDEVFS_DISCONNECT = 0x5516\n"
    "USBDEVFS_CONNECT = 0x5517\n"
    "USBDEVFS_CONNECTINFO = 0x40085511\n"
    "USBDEVFS_SUBMITURB = 0x802c550a\n"
    "USBDEVFS_DISCARDURB = 0x550b\n"
    "USBDEVFS_REAPURB = 0x4004550c\n"
    "USBDEVFS_REAPURBNDELAY = 0x4004550d\n"
    "\n"
    "USBDEVFS_URB_SHORT_NOT_OK = 0x1\n"
    "USBDEVFS_URB_ISO_ASAP = 0x2\n"
    "USBDEVFS_URB_TYPE_ISO = 0x0\n"
    "USBDEVFS_URB_TYPE_INTERRUPT = 0x1\n"
    "USBDEVFS_URB_TYPE_CONTROL = 0x2\n"
    "USBDEVFS_URB_TYPE_BULK = 0x3\n"
    "\n"
    "# sizeof(struct usbdevfs_bulktransfer) = 16\n"
    "# sizeof(struct usbdevfs_ctrltransfer) = 16\n"
    "# sizeof(struct usbdevfs_getdriver) = 260\n"
    "# sizeof(struct usbdevfs_connectinfo) = 8\n"
    "# sizeof(struct usbdevfs_urb) = 44\n"
)

ASSIGNMENT = re.compile(r"^(USBDEVFS_[A-Z_]+) = 0x([0-9a-f]+)$")
SIZE_LINE = re.compile(r"^# sizeof\((struct usbdevfs_[a-z]+)\) = ([0-9]+)$")


EM_AARCH64 = 183


def run_generator(path):
    """The generator's output. An i386 binary runs the way the build ran it:
    straight on the kernel, or under the emulator the build chose
    (TILESTREAM_I386_RUNNER, set by ctest from TILESTREAM_I386_EMULATION); a
    binary of another architecture under the cross build's runner
    (TILESTREAM_TARGET_RUNNER, or the Python tests' TILESTREAM_PYTHON_RUNNER:
    a command line)."""
    cmd = [path, "ignored", "--arguments"]
    flags = abi_flags(path)
    if flags == ["-m32"]:
        runner = os.environ.get("TILESTREAM_I386_RUNNER", "")
        if runner:
            cmd = [runner] + cmd
    elif flags:
        runner = os.environ.get("TILESTREAM_TARGET_RUNNER") or \
            os.environ.get("TILESTREAM_PYTHON_RUNNER", "")
        cmd = shlex.split(runner) + cmd
    return subprocess.check_output(cmd).decode("ascii")


def host_machine():
    """The machine the C compiler builds for by default: this host's. (An
    interpreter under an emulator, qemu-aarch64, reports the emulated one as
    platform.machine().)"""
    cc = compiler_for([])
    if cc:
        try:
            return subprocess.check_output([cc, "-dumpmachine"]).decode().split("-")[0]
        except (OSError, subprocess.CalledProcessError):
            pass
    return platform.machine()


def abi_flags(path):
    """Compiler flags for the ABI the binary was built for (ELF class, and the
    machine where it is not this host's: clang's target)."""
    with open(path, "rb") as f:
        ident = bytearray(f.read(20))
    if ident[4] == 1:
        return ["-m32"]
    if (ident[18] | ident[19] << 8) == EM_AARCH64 and host_machine() != "aarch64":
        return ["--target=aarch64-linux-gnu"]
    return []


def find_program(name):
    for d in os.environ.get("PATH", "").split(os.pathsep):
        p = os.path.join(d, name)
        if os.access(p, os.X_OK):
            return p
    return None


def header_check_source(output):
    """C source that compiles only if every line of output matches the header."""
    lines = ["#include <sys/ioctl.h>", "#include <linux/usbdevice_fs.h>"]
    for line in output.splitlines():
        m = ASSIGNMENT.match(line)
        if m:
            lines.append('_Static_assert((unsigned)(%s) == 0x%su, "%s");' % (m.group(1), m.group(2), m.group(1)))
            continue
        m = SIZE_LINE.match(line)
        if m:
            lines.append('_Static_assert(sizeof(%s) == %s, "%s");' % (m.group(1), m.group(2), m.group(1)))
    return "\n".join(lines) + "\n"


def compiler_for(flags):
    if any(f.startswith("--target=") for f in flags):
        return find_program("clang")
    return find_program("cc") or find_program("gcc")


class UsbConstGenTest(unittest.TestCase):
    def check_against_header(self, output, flags):
        cc = compiler_for(flags)
        if not cc:
            self.skipTest("no C compiler")
        tmp = tempfile.mkdtemp()
        try:
            src = os.path.join(tmp, "check.c")
            with open(src, "w") as f:
                f.write(header_check_source(output))
            proc = subprocess.Popen([cc, "-std=c11", "-fsyntax-only"] + flags + [src],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            diag = proc.communicate()[0].decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 0, diag)
        finally:
            shutil.rmtree(tmp)

    def check_shape(self, output):
        lines = output.split("\n")
        # 29 lines, each ended by a newline, and nothing after the last one.
        self.assertEqual(len(lines), 30)
        self.assertEqual(lines[-1], "")
        self.assertEqual(lines[16], "")
        self.assertEqual(lines[23], "")
        names = [l.split(" = ")[0] for l in lines if l]
        self.assertEqual(len(names), len(set(names)))
        for i, line in enumerate(lines[:29]):
            if i in (16, 23):
                continue
            pattern = SIZE_LINE if i >= 24 else ASSIGNMENT
            self.assertTrue(pattern.match(line), "line %d: %r" % (i + 1, line))

    def test_i386_build_prints_the_reference(self):
        if not os.path.exists(GEN32):
            self.skipTest("no i386 build")
        out = run_generator(GEN32)
        self.assertEqual(abi_flags(GEN32), ["-m32"])
        self.assertEqual(out, I386_REFERENCE)
        # The reference itself agrees with the i386 header.
        self.check_against_header(out, ["-m32"])

    def test_build_wrote_what_the_generators_print(self):
        outputs = [("usbconsts.py", GEN), ("usbconsts_i386.py", GEN32)]
        for name, gen in outputs:
            path = os.path.join(BUILD, "usbconstgen", name)
            if not os.path.exists(gen):
                continue
            with open(path, "rb") as f:
                self.assertEqual(f.read().decode("ascii"), run_generator(gen), name)

    def test_installed_module_is_the_native_output(self):
        # Only where the tests run against an installed package.
        path = os.path.join(os.environ.get("TILESTREAM_MODULES", ""), "usbconsts.py")
        if not os.path.exists(path):
            self.skipTest("no installed usbconsts: this run tests the build tree (package.install runs it against the installed package)")
        with open(path, "rb") as f:
            self.assertEqual(f.read().decode("ascii"), run_generator(GEN))

    def test_native_build_matches_native_header(self):
        out = run_generator(GEN)
        self.check_shape(out)
        self.assertIn("USBDEVFS_URB_TYPE_ISO = 0x0\n", out)
        self.assertNotIn("-", out.replace("# sizeof", ""))
        self.check_against_header(out, abi_flags(GEN))

    def test_header_check_catches_a_wrong_value(self):
        if not compiler_for(abi_flags(GEN)):
            self.skipTest("no C compiler")
        wrong = run_generator(GEN).replace("USBDEVFS_URB_TYPE_BULK = 0x3", "USBDEVFS_URB_TYPE_BULK = 0x4")
        with self.assertRaises(AssertionError):
            self.check_against_header(wrong, abi_flags(GEN))


if __name__ == "__main__":
    unittest.main()
