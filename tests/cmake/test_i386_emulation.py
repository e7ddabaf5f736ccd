"""The TILESTREAM_I386_EMULATION switch (cmake/I386Emulation.cmake) on both
kinds of host. A host whose kernel runs no i386 programs is stood in for by
a C compiler whose "programs" the kernel refuses to execute (exec format
error), which is what such a kernel does with an i386 binary."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE = os.path.join(HERE, "..", "..", "cmake", "I386Emulation.cmake")
QEMU = shutil.which("qemu-i386")

FOREIGN_CC = """#!/bin/sh
while [ $# -gt 0 ]; do [ "$1" = -o ] && out=$2; shift; done
printf 'no program for this kernel\\n' > "$out"
chmod +x "$out"
"""


class I386EmulationSwitch(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.foreign_cc = os.path.join(self.tmp, "foreign-cc")
        with open(self.foreign_cc, "w") as f:
            f.write(FOREIGN_CC)
        os.chmod(self.foreign_cc, 0o755)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def choose(self, mode, cc="gcc", env_mode=None):
        # In script mode CMAKE_BINARY_DIR is the working directory.
        cmd = ["cmake", "-DMODULE=" + MODULE, "-DCMAKE_C_COMPILER=" + cc]
        if mode is not None:
            cmd.append("-DTILESTREAM_I386_EMULATION=" + mode)
        cmd += ["-P", os.path.join(HERE, "runner_probe.cmake")]
        env = dict(os.environ)
        env.pop("TILESTREAM_I386_EMULATION", None)
        if env_mode is not None:
            env["TILESTREAM_I386_EMULATION"] = env_mode
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=env, cwd=self.tmp, universal_newlines=True)
        m = re.search(r"^runner=\[(.*)\]$", proc.stdout, re.M)
        return proc.returncode, (m.group(1) if m else None), proc.stdout

    def kernel_runs_i386(self):
        src = os.path.join(self.tmp, "p.c")
        with open(src, "w") as f:
            f.write("int main(void) { return 0; }\n")
        exe = os.path.join(self.tmp, "p")
        if subprocess.call(["gcc", "-m32", src, "-o", exe]) != 0:
            self.skipTest("no -m32 toolchain")
        try:
            return subprocess.call([exe]) == 0
        except OSError:
            return False

    def test_host_without_ia32_emulation(self):
        if not QEMU:
            self.skipTest("no qemu-i386")
        for mode in ("AUTO", "ON", "on"):
            rc, runner, out = self.choose(mode, self.foreign_cc)
            self.assertEqual(rc, 0, out)
            self.assertEqual(os.path.realpath(runner), os.path.realpath(QEMU), out)
        # Forced off here is an error that names the switch, at configure time.
        rc, runner, out = self.choose("OFF", self.foreign_cc)
        self.assertNotEqual(rc, 0)
        self.assertIsNone(runner)
        self.assertIn("does not run i386 programs", out)
        self.assertIn("TILESTREAM_I386_EMULATION", out)

    def test_this_host(self):
        native = self.kernel_runs_i386()
        rc, runner, out = self.choose("AUTO")
        self.assertEqual(rc, 0, out)
        self.assertEqual(runner == "", native, out)
        if QEMU:
            rc, runner, out = self.choose("ON")
            self.assertEqual(rc, 0, out)
            self.assertTrue(runner.endswith("qemu-i386"), out)
        rc, runner, out = self.choose("OFF")
        if native:
            self.assertEqual((rc, runner), (0, ""), out)
        else:
            self.assertNotEqual(rc, 0, out)

    def test_environment_gives_the_first_value_and_bad_values_fail(self):
        if not QEMU:
            self.skipTest("no qemu-i386")
        rc, runner, out = self.choose(None, env_mode="ON")
        self.assertEqual(rc, 0, out)
        self.assertTrue(runner.endswith("qemu-i386"), out)
        # The cache variable wins over the environment.
        rc, runner, out = self.choose("OFF", self.foreign_cc, env_mode="ON")
        self.assertNotEqual(rc, 0, out)
        rc, runner, out = self.choose("sometimes")
        self.assertNotEqual(rc, 0)
        self.assertIn("takes AUTO, ON or OFF", out)


if __name__ == "__main__":
    unittest.main()
