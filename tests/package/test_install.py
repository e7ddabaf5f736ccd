"""The Python package: built and installed from a clean copy of the tree into
a fresh venv (Debian's python3, through a wheel) and a fresh virtualenv
(pyenv's 2.7, pip install), with nothing downloaded. The installed modules
are imported from outside the source tree, decode a stream, and pass the
Python tests of tests/python, which TILESTREAM_MODULES points at them.

Environment: TILESTREAM_PYTHON2, TILESTREAM_PYTHON3 (the interpreters),
TILESTREAM_BUILD (the CMake build, for the generator tests)."""
import glob
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.realpath(os.path.join(HERE, "..", ".."))
TESTS = os.path.join(TOP, "tests", "python")
PY2 = os.environ.get("TILESTREAM_PYTHON2", "")
PY3 = os.environ.get("TILESTREAM_PYTHON3", "/usr/bin/python3")
with open(os.path.join(TOP, "VERSION")) as f:
    VERSION = f.read().strip()


def run(cmd, **kw):
    """Runs cmd; on failure the assertion carries its whole output."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
    out = proc.communicate()[0].decode("utf-8", "replace")
    if proc.returncode != 0:
        raise AssertionError("%s exited %d:\n%s" % (" ".join(cmd), proc.returncode, out[-20000:]))
    return out


def clean_copy(dst):
    """The tree as a clone has it: tracked and new files, no build folders."""
    files = subprocess.check_output(["git", "-C", TOP, "ls-files", "-co", "--exclude-standard", "-z"])
    for name in files.decode("utf-8").split("\0"):
        src = os.path.join(TOP, name)
        if not name or not os.path.isfile(src):
            continue
        target = os.path.join(dst, name)
        if not os.path.isdir(os.path.dirname(target)):
            os.makedirs(os.path.dirname(target))
        shutil.copy2(src, target)


def site_packages(python):
    return run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"]).strip()


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tilestream-package-")
        cls.src = os.path.join(cls.tmp, "src")
        os.makedirs(cls.src)
        clean_copy(cls.src)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def check_installed(self, python, major):
        prefix = site_packages(python)
        out = run([python, os.path.join(HERE, "check_installed.py"), prefix, VERSION], cwd=self.tmp)
        self.assertIn("installed: vidframe", out)
        # The existing tests, against the installed modules only: tests/python
        # holds no module, and TILESTREAM_MODULES makes them check where
        # vidframe came from.
        env = dict(os.environ)
        env.update(PYTHONPATH=TESTS, TILESTREAM_MODULES=prefix)
        # One interpreter per file, as the build's own test run has it: the
        # leak checks measure the whole process, which other files' imports
        # and leftovers would blur.
        names = sorted(os.path.basename(p)[:-3] for p in glob.glob(os.path.join(TESTS, "test_*.py")))
        for name in names:
            if major == 2:
                cmd = [python, "-m", "unittest", name]
            else:
                cmd = [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", name + ".py"]
            run(cmd, cwd=TESTS, env=env)

    def test_python3_venv_from_a_wheel(self):
        venv = os.path.join(self.tmp, "venv3")
        # Debian's setuptools, wheel and pip come from the system site.
        run([PY3, "-m", "venv", "--system-site-packages", venv])
        python = os.path.join(venv, "bin", "python")
        wheels = os.path.join(self.tmp, "wheels")
        run([python, "-m", "pip", "wheel", "--no-index", "--no-build-isolation", "--no-deps",
             "-w", wheels, self.src], cwd=self.tmp)
        built = glob.glob(os.path.join(wheels, "tilestream-%s-*.whl" % VERSION))
        self.assertEqual(len(built), 1, os.listdir(wheels))
        run([python, "-m", "pip", "install", "--no-index", "--no-deps", built[0]], cwd=self.tmp)
        self.check_installed(python, 3)

    def test_python2_virtualenv(self):
        if not os.path.exists(PY2):
            self.skipTest("no CPython 2.7")
        venv = os.path.join(self.tmp, "venv2")
        # pip 19 and setuptools of pyenv's 2.7 come from its site.
        run([PY3, "-m", "virtualenv", "-q", "--no-seed", "--system-site-packages", "-p", PY2, venv])
        python = os.path.join(venv, "bin", "python")
        run([python, "-m", "pip", "install", "--no-index", self.src], cwd=self.tmp)
        self.check_installed(python, 2)
        # pip's record of the install is whole: uninstalling leaves no module.
        run([python, "-m", "pip", "uninstall", "-y", "tilestream"], cwd=self.tmp)
        left = [n for n in os.listdir(site_packages(python))
                if n.split(".")[0] in ("vidframe", "bulkvideo", "usbconsts")]
        self.assertEqual(left, [])


if __name__ == "__main__":
    unittest.main()
