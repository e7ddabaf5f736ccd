"""The tilestream extension modules as a Python package.

setuptools drives the project's own CMake build, so the sources, compiler
flags and run-time path choice are the ones CMakeLists.txt gives; nothing
here lists them again. The build is for the interpreter running this file
(on macOS for its architectures, or those ARCHFLAGS gives, as distutils and
setuptools do):

    python3 -m pip install --no-build-isolation .     # Debian's python3, in a venv
    python2.7 -m pip install .                        # pyenv's 2.7, in a virtualenv
    python3 -m pip wheel --no-build-isolation --no-deps -w dist .

It installs the top-level modules vidframe, on Linux bulkvideo and usbconsts
(the usbdevfs constants generated at build time for this interpreter's ABI),
and on macOS macusb. Runs under Python 2.7 and 3. TILESTREAM_CMAKE_ARGS adds
configure arguments (tests/macos/check_bundles.py cross-builds for macOS
through this file with a toolchain file and _PYTHON_HOST_PLATFORM).
"""
import multiprocessing
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

TOP = os.path.dirname(os.path.abspath(__file__))
# The platform the modules are for: the interpreter's, or the one
# _PYTHON_HOST_PLATFORM names (CPython's own switch for a cross-build,
# e.g. macosx-10.13-universal2).
PLATFORM = sysconfig.get_platform()
LINUX = PLATFORM.startswith("linux")
MACOS = PLATFORM.startswith("macosx")

# The architectures of macOS's multi-architecture platform names.
MACOS_MACHINES = {"universal2": ["x86_64", "arm64"], "intel": ["x86_64", "i386"]}


def macos_cmake_args(platform, environ):
    """CMake's architectures and deployment target for a macOS platform name
    (macosx-<version>-<machine>), chosen as distutils and setuptools choose
    their compiler flags: the -arch options of ARCHFLAGS when set, else the
    machine (universal2: both slices in one bundle); MACOSX_DEPLOYMENT_TARGET
    when set, else the version."""
    parts = platform.split("-", 2)
    if len(parts) != 3 or parts[0] != "macosx":
        raise ValueError("not a macOS platform name: %r" % platform)
    archs = re.findall(r"-arch\s+(\S+)", environ.get("ARCHFLAGS", ""))
    if not archs:
        archs = MACOS_MACHINES.get(parts[2], [parts[2]])
    unique = []
    for arch in archs:
        if arch not in unique:
            unique.append(arch)
    target = environ.get("MACOSX_DEPLOYMENT_TARGET") or parts[1]
    return ["-DCMAKE_OSX_ARCHITECTURES=%s" % ";".join(unique),
            "-DCMAKE_OSX_DEPLOYMENT_TARGET=%s" % target]


def find_program(name):
    for folder in os.environ.get("PATH", os.defpath).split(os.pathsep):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def read_version():
    with open(os.path.join(TOP, "VERSION")) as f:
        return f.read().strip()


def configure_args(tree, major, executable, platform, environ):
    """The arguments of the CMake configure step: this interpreter alone, no
    tests or benchmarks; on macOS its architectures and deployment target;
    then whatever TILESTREAM_CMAKE_ARGS adds (e.g. a toolchain file)."""
    args = [
        "-S", TOP, "-B", tree,
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        "-DBUILD_TESTS=OFF", "-DBUILD_BENCH=OFF", "-DBUILD_USBCONSTGEN32=OFF",
        "-DTILESTREAM_PYTHON_VERSIONS=%d" % major,
        "-DPYTHON%d_EXECUTABLE=%s" % (major, executable),
    ]
    if platform.startswith("macosx"):
        args += macos_cmake_args(platform, environ)
    return args + shlex.split(environ.get("TILESTREAM_CMAKE_ARGS", ""))


class CMakeExtension(Extension):
    """A module that the CMake target <name>_py<major> builds."""

    def __init__(self, name):
        Extension.__init__(self, name, sources=[])


class cmake_build_ext(build_ext):
    """Configures the CMake build for this interpreter alone (no tests, no
    benchmarks) and copies the modules it makes to where setuptools wants them."""

    def run(self):
        major = sys.version_info[0]
        cmake = find_program("cmake")
        if not cmake:
            raise SystemExit("tilestream: cmake is needed to build the modules (Debian: apt-get install cmake)")
        tree = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        if not os.path.isdir(tree):
            os.makedirs(tree)
        configure = [cmake] + configure_args(tree, major, sys.executable, PLATFORM, os.environ)
        targets = ["%s_py%d" % (ext.name, major) for ext in self.extensions]
        if LINUX:
            targets.append("usbconsts")
        jobs = str(getattr(self, "parallel", None) or multiprocessing.cpu_count())
        self.announce("tilestream: cmake build of %s" % ", ".join(targets), level=2)
        subprocess.check_call(configure)
        subprocess.check_call([cmake, "--build", tree, "-j", jobs, "--target"] + targets)

        for ext in self.extensions:
            self.install_file(os.path.join(tree, "python%d" % major, ext.name + ".so"),
                              self.get_ext_fullpath(ext.name))
        if LINUX:
            self.install_file(os.path.join(tree, "usbconstgen", "usbconsts.py"), self.usbconsts_path())

    def install_file(self, src, dst):
        folder = os.path.dirname(dst)
        if folder and not os.path.isdir(folder):
            os.makedirs(folder)
        shutil.copyfile(src, dst)
        shutil.copymode(src, dst)

    def usbconsts_path(self):
        return os.path.join(os.path.dirname(self.get_ext_fullpath("vidframe")), "usbconsts.py")

    def get_outputs(self):
        outputs = build_ext.get_outputs(self)
        if LINUX:
            outputs.append(self.usbconsts_path())
        return outputs


modules = [CMakeExtension("vidframe")]
if LINUX:
    modules.append(CMakeExtension("bulkvideo"))
if MACOS:
    modules.append(CMakeExtension("macusb"))

if __name__ == "__main__":
    setup(
        name="tilestream",
        version=read_version(),
        description="Native modules of the video/console adapter application: "
                    "tile stream decoding, frame readout and the Linux bulk transport",
        ext_modules=modules,
        cmdclass={"build_ext": cmake_build_ext},
        zip_safe=False,
    )
