"""How ctest judges the runs of the Python tests, and what
scripts/python_summary.py makes of a ctest run.

A test file that runs no test must fail, whichever runner and CPython: with
pytest that is exit status 5, which must not be taken for a skip; unittest
exits with 0 for it up to 3.11 and with 5 from 3.12 on, where 5 also means
that every test was skipped (cmake/UnittestVerdict.cmake tells them apart).
The build's own registered tests are checked for those rules; a small
project of stand-in tests, run by ctest, for the verdicts and the summary:
every test listed, every skip reason, and a failure status when anything
failed or did not run."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
SUMMARY = os.path.join(TOP, "scripts", "python_summary.py")
JUNIT = "Testing/Temporary/LastTest.junit.xml"

PROJECT = """
cmake_minimum_required(VERSION 3.18)
project(verdicts NONE)
enable_testing()
include({top}/cmake/UnittestVerdict.cmake)
set(py {python})
# A file with no tests, under unittest.
add_test(NAME py9.test_empty COMMAND ${{py}} -m unittest -v test_empty WORKING_DIRECTORY {tmp})
tilestream_unittest_verdict(py9.test_empty)
# A pass and a skip whose reason has a quote in it.
add_test(NAME py9.test_mixed COMMAND ${{py}} -m unittest -v test_mixed WORKING_DIRECTORY {tmp})
tilestream_unittest_verdict(py9.test_mixed)
# What CPython 3.12 prints, and its exit status, when every test was skipped.
add_test(NAME py9.test_all_skipped COMMAND sh {tmp}/all_skipped.sh)
tilestream_unittest_verdict(py9.test_all_skipped)
# A GoogleTest program that skipped one test.
add_test(NAME core COMMAND sh {tmp}/gtest.sh)
# A program that is not there.
add_test(NAME missing COMMAND {tmp}/no-such-program)
"""

EMPTY = "import unittest\n"
ALL_SKIPPED = textwrap.dedent("""\
    cat <<'EOF'
    test_a (m.A.test_a) ... skipped 'no m here'

    ----------------------------------------------------------------------
    Ran 0 tests in 0.000s

    NO TESTS RAN (skipped=1)
    EOF
    exit 5
    """)
GTEST = textwrap.dedent("""\
    cat <<'EOF'
    [ RUN      ] A.b
    x.cpp:3: Skipped
    no AVX2 path
    [  SKIPPED ] A.b (0 ms)
    [  PASSED  ] 2 tests.
    [  SKIPPED ] 1 test, listed below:
    [  SKIPPED ] A.b
    EOF
    """)
MIXED = textwrap.dedent("""\
    import unittest


    class T(unittest.TestCase):
        def test_runs(self):
            pass

        def test_skips(self):
            self.skipTest("no 'thing' here")
    """)


class RegisteredTests(unittest.TestCase):
    """The rules as the build registered its Python tests."""

    def test_no_runner_exit_counts_as_a_skip(self):
        build = os.environ.get("TILESTREAM_BUILD")
        if not build:
            self.skipTest("TILESTREAM_BUILD names no build tree")
        # ctest -N rewrites the tree's LastTest.log, which the ctest run
        # this test may be part of still writes: list a copy of its test files.
        copy = tempfile.mkdtemp()
        try:
            for folder, _, files in os.walk(build):
                if "CTestTestfile.cmake" in files:
                    dest = os.path.join(copy, os.path.relpath(folder, build))
                    if not os.path.isdir(dest):
                        os.makedirs(dest)
                    shutil.copy(os.path.join(folder, "CTestTestfile.cmake"), dest)
            out = subprocess.check_output(["ctest", "--test-dir", copy, "-N", "--show-only=json-v1"])
        finally:
            shutil.rmtree(copy)
        checked = 0
        for test in json.loads(out.decode())["tests"]:
            command = test.get("command", [])
            props = dict((p["name"], p["value"]) for p in test.get("properties", []))
            runner = [w for w in ("pytest", "unittest") if w in command]
            if not runner or runner[0] == "pytest" and test["name"].startswith("cmake."):
                continue
            checked += 1
            self.assertNotIn("SKIP_RETURN_CODE", props, test["name"])
            if runner[0] == "unittest":
                self.assertEqual(props.get("FAIL_REGULAR_EXPRESSION"), ["\nRan 0 tests in "],
                                 test["name"])
                self.assertEqual(props.get("SKIP_REGULAR_EXPRESSION"), ["NO TESTS RAN \\(skipped="],
                                 test["name"])
        if not checked:
            self.skipTest("this tree registers no test that pytest or unittest runs")


class VerdictsAndSummary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        for name, text in (("test_empty.py", EMPTY), ("test_mixed.py", MIXED),
                           ("all_skipped.sh", ALL_SKIPPED), ("gtest.sh", GTEST)):
            with open(os.path.join(cls.tmp, name), "w") as f:
                f.write(text)
        src, cls.build = os.path.join(cls.tmp, "src"), os.path.join(cls.tmp, "build")
        os.makedirs(src)
        with open(os.path.join(src, "CMakeLists.txt"), "w") as f:
            f.write(PROJECT.format(top=TOP, tmp=cls.tmp, python=sys.executable))
        subprocess.check_call(["cmake", "-S", src, "-B", cls.build], stdout=subprocess.DEVNULL)
        with open(os.path.join(cls.build, "tilestream.env"), "w") as f:
            f.write("TILESTREAM_PYTHON_IDS='9'\nPYTHON9_LABEL='CPython 9 (a stand-in)'\n")
        proc = subprocess.run(["ctest", "--test-dir", cls.build, "--output-junit", JUNIT],
                              stdout=subprocess.PIPE, universal_newlines=True, timeout=120)
        cls.ctest = proc.stdout
        proc = subprocess.run([sys.executable, SUMMARY, cls.build], stdout=subprocess.PIPE,
                              universal_newlines=True, timeout=60)
        cls.summary, cls.summary_status = proc.stdout, proc.returncode

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def verdict(self, name):
        for line in self.ctest.splitlines():
            if " " + name + " " in line and "Test" in line:
                return line
        self.fail("%s not in ctest's output:\n%s" % (name, self.ctest))

    def test_ctest_verdicts(self):
        self.assertIn("Failed", self.verdict("py9.test_empty"))
        self.assertIn("Passed", self.verdict("py9.test_mixed"))
        self.assertIn("Skipped", self.verdict("py9.test_all_skipped"))
        self.assertIn("Not Run", self.verdict("missing"))

    def test_summary_lists_every_test_and_reason_and_fails(self):
        out = self.summary
        self.assertEqual(self.summary_status, 1, out)
        self.assertIn("5, 2 passed, 1 failed, 1 not run, 1 skipped", out)
        # One row for the interpreter, with its label: files, passed, failed, skipped.
        row = [l for l in out.splitlines() if "py9: CPython 9 (a stand-in)" in l]
        self.assertEqual(len(row), 1, out)
        # (The file that ran nothing is a failure of its own.)
        self.assertEqual(row[0].split()[-4:], ["3", "1", "1", "2"], out)
        self.assertIn("core", out)
        self.assertIn("(2 passed, 0 failed, 1 skipped inside)", out)
        for reason in ("skipped: no 'thing' here (py9)", "skipped: no m here (py9)",
                       "skipped: no AVX2 path (core)",
                       "skipped: the whole test: SKIP_REGULAR_EXPRESSION_MATCHED"):
            self.assertIn(reason, out)
        failed = [l.split()[1] for l in out.splitlines() if l.strip().startswith("FAILED:")]
        self.assertEqual(sorted(failed), ["missing", "py9.test_empty"], out)

    def test_summary_refuses_a_record_of_another_run(self):
        junit = os.path.join(self.build, JUNIT)
        log = os.path.join(self.build, "Testing", "Temporary", "LastTest.log")
        saved = os.stat(junit)
        try:
            os.utime(junit, (saved.st_atime, os.stat(log).st_mtime - 3600))
            proc = subprocess.run([sys.executable, SUMMARY, self.build], stdout=subprocess.PIPE,
                                  universal_newlines=True)
            self.assertEqual(proc.returncode, 1)
            self.assertIn("not of the last ctest run", proc.stdout)
        finally:
            os.utime(junit, (saved.st_atime, saved.st_mtime))


if __name__ == "__main__":
    unittest.main()
