"""A tree configured with -DBUILD_PYTHON_MODULES=OFF (a documented option)
registers only tests whose programs that tree builds: with no modules there
is no interpreter launcher, no setup.py run and no Python test, and every
program a test names inside the tree is one of its targets' artifacts. The
32-bit and arm64 trees are configured (cross builds, where the option once
left tests behind whose programs were never built); nothing is compiled."""
import glob
import json
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.realpath(os.path.join(HERE, "..", ".."))


def configure(build, platform):
    query = os.path.join(build, ".cmake", "api", "v1", "query")
    os.makedirs(query)
    open(os.path.join(query, "codemodel-v2"), "w").close()
    proc = subprocess.run(["cmake", "-S", TOP, "-B", build,
                           "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/%s.cmake" % (TOP, platform),
                           "-DBUILD_PYTHON_MODULES=OFF", "-DBUILD_BENCH=OFF"],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    return proc.returncode, proc.stdout


def artifacts(build):
    """Absolute paths of what the tree's targets make."""
    reply = os.path.join(build, ".cmake", "api", "v1", "reply")
    index = json.load(open(sorted(glob.glob(os.path.join(reply, "index-*.json")))[-1]))
    model = [o for o in index["objects"] if o["kind"] == "codemodel"][0]
    model = json.load(open(os.path.join(reply, model["jsonFile"])))
    made = set()
    for target in model["configurations"][0]["targets"]:
        target = json.load(open(os.path.join(reply, target["jsonFile"])))
        for a in target.get("artifacts", []):
            made.add(os.path.normpath(os.path.join(build, a["path"])))
    return made


def registered_tests(build):
    """{name: command} of the tree's tests (command None: a target's)."""
    out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                         stdout=subprocess.PIPE, check=True).stdout
    return {t["name"]: t.get("command") for t in json.loads(out.decode())["tests"]}


class TreeWithoutModules(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def check(self, platform):
        build = os.path.join(self.tmp, platform)
        rc, out = configure(build, platform)
        self.assertEqual(rc, 0, out)
        registered = registered_tests(build)
        self.assertIn("core_tests", registered)
        python = sorted(n for n in registered if n.startswith(("py", "package.", "usbfake", "vidtool")))
        self.assertEqual(python, [], "tests of Python modules in a tree without them")
        made = artifacts(build)
        for name, command in registered.items():
            if not command:
                continue
            program = os.path.normpath(command[0])
            if program.startswith(build + os.sep):
                self.assertIn(program, made, "%s runs %s, which no target of the tree makes" % (name, program))
            else:
                self.assertTrue(os.access(program, os.X_OK), "%s runs %s, which is not here" % (name, program))
        with open(os.path.join(build, "tilestream.env")) as f:
            self.assertIn("TILESTREAM_PYTHON_IDS=''", f.read())

    def test_i386(self):
        self.check("i386")

    def test_aarch64(self):
        self.check("aarch64")


if __name__ == "__main__":
    unittest.main()
