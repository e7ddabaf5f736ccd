"""setup.py's CMake configure arguments: on macOS the interpreter's
architectures and deployment target (or those ARCHFLAGS and
MACOSX_DEPLOYMENT_TARGET give), the target platform from
_PYTHON_HOST_PLATFORM, and TILESTREAM_CMAKE_ARGS. Runs on 2.7 and 3."""
import os
import subprocess
import sys
import unittest

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, TOP)
sys.path.insert(1, os.path.join(TOP, "tests", "python"))
import interpreter  # noqa: E402
try:
    import setup  # noqa: E402  (setup() itself runs only as a script)
except ImportError as e:  # setuptools: pyenv's 3.12 and later come without it
    setup = None
    NO_SETUP = "setup.py cannot be loaded here (%s)" % e
else:
    NO_SETUP = ""


def osx_args(platform, **environ):
    args = setup.macos_cmake_args(platform, environ)
    return dict(a[2:].split("=", 1) for a in args)


@unittest.skipIf(setup is None, NO_SETUP)
class MacosArchitectures(unittest.TestCase):
    def test_platform_machine(self):
        self.assertEqual(osx_args("macosx-10.9-universal2"),
                         {"CMAKE_OSX_ARCHITECTURES": "x86_64;arm64",
                          "CMAKE_OSX_DEPLOYMENT_TARGET": "10.9"})
        self.assertEqual(osx_args("macosx-11.0-arm64"),
                         {"CMAKE_OSX_ARCHITECTURES": "arm64",
                          "CMAKE_OSX_DEPLOYMENT_TARGET": "11.0"})
        self.assertEqual(osx_args("macosx-10.13-x86_64")["CMAKE_OSX_ARCHITECTURES"], "x86_64")
        self.assertEqual(osx_args("macosx-10.6-intel")["CMAKE_OSX_ARCHITECTURES"], "x86_64;i386")

    def test_environment_overrides(self):
        # ARCHFLAGS as distutils reads it: any spacing, repeats dropped, its order kept.
        got = osx_args("macosx-10.9-universal2", ARCHFLAGS="-arch arm64  -arch\tx86_64 -arch arm64")
        self.assertEqual(got["CMAKE_OSX_ARCHITECTURES"], "arm64;x86_64")
        got = osx_args("macosx-10.9-universal2", ARCHFLAGS="-arch x86_64", MACOSX_DEPLOYMENT_TARGET="10.15")
        self.assertEqual(got, {"CMAKE_OSX_ARCHITECTURES": "x86_64",
                               "CMAKE_OSX_DEPLOYMENT_TARGET": "10.15"})
        # Empty values count as unset.
        got = osx_args("macosx-11.0-arm64", ARCHFLAGS="", MACOSX_DEPLOYMENT_TARGET="")
        self.assertEqual(got, {"CMAKE_OSX_ARCHITECTURES": "arm64",
                               "CMAKE_OSX_DEPLOYMENT_TARGET": "11.0"})

    def test_not_macos(self):
        for platform in ("linux-x86_64", "macosx-11.0", "darwin"):
            self.assertRaises(ValueError, setup.macos_cmake_args, platform, {})


@unittest.skipIf(setup is None, NO_SETUP)
class ConfigureArguments(unittest.TestCase):
    def test_linux_has_no_osx_arguments(self):
        args = setup.configure_args("/tmp/t", 3, "/usr/bin/python3", "linux-x86_64", {})
        self.assertFalse([a for a in args if "CMAKE_OSX" in a])
        self.assertIn("-DTILESTREAM_PYTHON_VERSIONS=3", args)
        self.assertIn("-DPYTHON3_EXECUTABLE=/usr/bin/python3", args)

    def test_macos_and_extra_arguments(self):
        env = {"TILESTREAM_CMAKE_ARGS": "-DCMAKE_TOOLCHAIN_FILE='/a b/macos.cmake' -DX=1"}
        args = setup.configure_args("/tmp/t", 2, "/py2", "macosx-10.13-universal2", env)
        self.assertIn("-DCMAKE_OSX_ARCHITECTURES=x86_64;arm64", args)
        self.assertIn("-DCMAKE_OSX_DEPLOYMENT_TARGET=10.13", args)
        # The extra arguments come last, split as a shell would.
        self.assertEqual(args[-2:], ["-DCMAKE_TOOLCHAIN_FILE=/a b/macos.cmake", "-DX=1"])

    def test_host_platform_chooses_modules(self):
        # CPython's cross-build switch makes setup.py build the macOS set.
        code = ("import setup, sys; sys.stdout.write('%s %s %s' % "
                "([m.name for m in setup.modules], setup.LINUX, setup.MACOS))")
        for platform, expected in (("macosx-10.13-universal2", "['vidframe', 'macusb'] False True"),
                                   ("linux-x86_64", "['vidframe', 'bulkvideo'] True False")):
            env = dict(os.environ, _PYTHON_HOST_PLATFORM=platform)
            out = subprocess.check_output(interpreter.command() + ["-c", code], cwd=TOP, env=env)
            self.assertEqual(out.decode().strip(), expected)


if __name__ == "__main__":
    unittest.main()
