"""The interpreters of other Debian suites and architectures: where
cmake/PackagedPython.cmake finds what scripts/fetch_pythons.sh unpacked, and
the gate when one is missing. An interpreter that cannot be fetched leaves
one line; a build whose test command requires it (TILESTREAM_REQUIRE)
fails to configure with that same line, any other build leaves it out with
a warning. Nothing is downloaded: the mirror named is one that cannot be
reached."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, "..", "..")
PROBE = os.path.join(HERE, "packaged_probe.cmake")
# A mirror that refuses the connection at once.
NOWHERE = "http://127.0.0.1:9/debian"


class PackagedPython(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.cache = os.path.join(self.tmp, "cache")
        self.env = dict(os.environ, TILESTREAM_PYTHON_CACHE=self.cache,
                        XDG_CACHE_HOME=os.path.join(self.tmp, "xdg"), TILESTREAM_REQUIRE="")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def probe(self, platform, tag, arch, **env):
        cmd = ["cmake", "-DPLATFORM=" + platform, "-DTAG=" + tag,
               "-DCMAKE_LIBRARY_ARCHITECTURE=" + arch, "-P", PROBE]
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, env=dict(self.env, **env))
        values = dict(re.findall(r"^(\w+)=\[(.*)\]$", proc.stdout, re.M))
        return proc.returncode, values, proc.stdout

    def unpack(self, cache, name, files):
        root = os.path.join(cache, name, "root")
        for f in files:
            path = os.path.join(root, f)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "w").close()
        return root

    def test_each_platform_lists_its_tags(self):
        self.assertEqual(self.probe("i386", "", "")[1]["tags"], "2;3")
        self.assertEqual(self.probe("aarch64", "", "")[1]["tags"], "3")
        self.assertEqual(self.probe("x86_64", "", "")[1]["tags"], "")

    def test_found_where_setup_unpacked_it(self):
        files = ["usr/lib/i386-linux-gnu/libpython2.7.so", "usr/include/python2.7/Python.h"]
        # In the cache folder, else in the user's.
        for cache in (self.cache, os.path.join(self.tmp, "xdg", "tilestream-python")):
            root = self.unpack(cache, "i386-python2.7", files)
            rc, got, out = self.probe("i386", "2", "i386-linux-gnu",
                                      TILESTREAM_REQUIRE="i386-python2")
            self.assertEqual(rc, 0, out)
            self.assertEqual(got["found"], "TRUE", out)
            self.assertEqual(got["version"], "2.7")
            self.assertEqual(got["home"], root + "/usr")
            self.assertEqual(got["library"], root + "/usr/lib/i386-linux-gnu/libpython2.7.so")
            # Python.h's folder, and the one its multiarch pyconfig.h is found from.
            self.assertEqual(got["include"], "%s/usr/include/python2.7;%s/usr/include" % (root, root))
            self.assertEqual(got["rpath"], "%s/usr/lib/i386-linux-gnu;%s/lib/i386-linux-gnu" % (root, root))
            shutil.rmtree(os.path.dirname(root))
        # Half unpacked (no headers) is not found.
        self.unpack(self.cache, "i386-python2.7", files[:1])
        self.assertEqual(self.probe("i386", "2", "i386-linux-gnu")[1]["found"], "FALSE")

    def test_one_that_cannot_be_fetched_fails_a_build_that_requires_it_with_setups_line(self):
        proc = subprocess.run([os.path.join(TOP, "scripts", "fetch_pythons.sh"), "aarch64-python3"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              env=dict(self.env, TILESTREAM_DEBIAN_MIRROR=NOWHERE), timeout=120)
        # Setup goes on; the one line is on standard error and kept for the build.
        self.assertEqual(proc.returncode, 0, proc.stderr)
        lines = proc.stderr.splitlines()
        self.assertEqual(len(lines), 1, proc.stderr)
        line = lines[0]
        self.assertTrue(line.startswith("aarch64-python3 cannot be had: "), line)
        self.assertIn(NOWHERE, line)
        self.assertIn("TILESTREAM_WITHOUT=aarch64-python3 ./scripts/test.sh", line)
        with open(os.path.join(self.cache, "aarch64-python3.11", "unavailable")) as f:
            self.assertEqual(f.read(), line + "\n")
        self.assertFalse(os.path.exists(os.path.join(self.cache, "aarch64-python3.11", "root")))

        rc, got, out = self.probe("aarch64", "3", "aarch64-linux-gnu",
                                  TILESTREAM_REQUIRE="xvfb aarch64-python3")
        self.assertNotEqual(rc, 0, out)
        # The same line, on a line of its own (not folded).
        self.assertIn(line, [l.strip() for l in out.splitlines()], out)
        self.assertNotIn("found", got)
        # Not required: left out, with the same line as a warning.
        rc, got, out = self.probe("aarch64", "3", "aarch64-linux-gnu", TILESTREAM_REQUIRE="xvfb")
        self.assertEqual(rc, 0, out)
        self.assertEqual(got["found"], "FALSE")
        self.assertIn("CMake Warning", out)
        self.assertIn(line, out)

    def test_never_fetched_says_to_run_setup(self):
        rc, got, out = self.probe("i386", "2", "i386-linux-gnu", TILESTREAM_REQUIRE="i386-python2")
        self.assertNotEqual(rc, 0, out)
        self.assertIn("i386-python2 (CPython 2.7 i386 (Debian bullseye's)) is not in %s or " % self.cache,
                      out)
        self.assertIn("run scripts/setup.sh", out)


if __name__ == "__main__":
    unittest.main()
