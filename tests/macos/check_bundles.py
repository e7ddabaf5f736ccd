#!/usr/bin/env python3
"""Cross-builds the macOS modules on Linux and checks what they import.

    tests/macos/check_bundles.py --sdk /path/to/MacOSX11.3.sdk [--build-root DIR]

With cmake/macos.cmake (clang per target, Debian's lld), through
scripts/build.sh, vidframe and macusb are built for CPython 2.7 and 3 as
Mach-O bundles for x86_64 (macOS 10.13), arm64 (11.0) and universal2 (both
slices in one bundle), and once more for CPython 3 through setup.py as a
macOS interpreter of the universal2 platform would build them. For every
bundle and slice it lists each imported symbol with the library it binds to
and fails on any that none provides: only the interpreter's own symbols
(_Py*, resolved when the interpreter loads the bundle) may stay unbound.
It also fails when a slice is not a bundle of the expected architecture and
deployment target, when a compiler or linker warns, when the setup.py build
compiles or links with other flags than scripts/build.sh's, or when the
x86_64 slice of the universal bundle lacks the AVX2 and AVX-512 kernels.

Nothing built here runs. The interpreters' headers come from the local
CPython 2.7 and 3 that the configured build tree of this machine names
(--host-build, build/ by default; its tilestream.env), copied with the
entries of their Linux pyconfig.h that do not hold on macOS switched off. Where the
SDK's framework stubs are not what a macOS SDK holds (a public snapshot's
lost their re-exports), the links get a repaired copy first (repaired_stubs).
"""
import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOLCHAIN = os.path.join(TOP, "cmake", "macos.cmake")
sys.path.insert(0, os.path.join(TOP, "tests", "python"))
import buildenv  # noqa: E402
# The build tree of this machine whose interpreters lend their headers (--host-build).
HOST_BUILD = [os.path.join(TOP, "build")]

# name, CMAKE_OSX_ARCHITECTURES, deployment target, {arch: minimum macOS}
BUILDS = [
    ("x86_64", ["x86_64"], "10.13", {"x86_64": "10.13"}),
    ("arm64", ["arm64"], "11.0", {"arm64": "11.0"}),
    # The python.org universal2 way: one deployment target, and the arm64
    # slice never below 11.0, the first macOS on arm64.
    ("universal2", ["x86_64", "arm64"], "10.13", {"x86_64": "10.13", "arm64": "11.0"}),
]
MODULES = ["vidframe", "macusb"]
# Symbols left to the interpreter: the flat-namespace imports of a bundle
# linked with -undefined dynamic_lookup.
INTERPRETER_SYMBOL = re.compile(r"^__?Py")
# Where a bundle may load libraries from: the system's frameworks and libraries.
SYSTEM_LIBRARY = re.compile(r"^/(System/Library/Frameworks/|usr/lib/)")


def fail(message):
    sys.exit("check_bundles: FAILED: " + message)


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, universal_newlines=True,
                          **kwargs).stdout


def llvm_tool(name):
    """A tool next to the clang the toolchain file uses (Debian: llvm-14)."""
    clang = shutil.which("clang++")
    if not clang:
        fail("clang++ is missing (Debian: clang)")
    path = os.path.join(os.path.dirname(os.path.realpath(clang)), name)
    if not os.path.exists(path):
        fail("%s is missing (Debian: llvm, lld)" % path)
    return path


# ---- The interpreters' headers ---------------------------------------------

def interpreter(version):
    """This machine's CPython 2.7 or 3, as the configured host build tree
    names it (its tilestream.env)."""
    values = buildenv.read(HOST_BUILD[0])
    exe = (values or {}).get("PYTHON%d_EXECUTABLE" % version)
    if not exe:
        fail("%s names no CPython %d: configure it first (scripts/build.sh)" % (HOST_BUILD[0], version))
    return exe


def sdk_header_names(sdk):
    """HAVE_<NAME> spellings of every header the SDK's usr/include holds."""
    names = set()
    base = os.path.join(sdk, "usr", "include")
    for folder, _, files in os.walk(base):
        for f in files:
            rel = os.path.relpath(os.path.join(folder, f), base)
            names.add(re.sub(r"[^A-Za-z0-9]", "_", rel).upper())
    return names


def macos_pyconfig(text, sdk_headers):
    """A Linux pyconfig.h made to say what a macOS one says about the things
    Python.h acts on: no header the SDK lacks (crypt.h, ...), and no
    _POSIX_C_SOURCE or _XOPEN_SOURCE, which CPython's configure never
    defines on Darwin (they would hide the BSD interfaces). Returns the text
    and the entries switched off."""
    off = []
    out = []
    for line in text.splitlines():
        m = re.match(r"#define (HAVE_(\w+)) 1\s*$", line)
        if m and m.group(2) not in sdk_headers and m.group(2).endswith("_H"):
            off.append(m.group(1))
            line = "/* #undef %s: not in the macOS SDK */" % m.group(1)
        m = re.match(r"#define (_POSIX_C_SOURCE|_XOPEN_SOURCE|_XOPEN_SOURCE_EXTENDED)\b", line)
        if m:
            off.append(m.group(1))
            line = "/* #undef %s: not defined on Darwin */" % m.group(1)
        out.append(line)
    return "\n".join(out) + "\n", off


def stage_headers(version, sdk, dest):
    exe = interpreter(version)
    probe = ("import json, sysconfig; print(json.dumps([sysconfig.get_paths()['include'], "
             "sysconfig.get_config_var('MULTIARCH') or '']))")
    try:
        include, multiarch = json.loads(run([exe, "-c", probe]))
    except (OSError, subprocess.CalledProcessError) as e:
        fail("CPython %d (%s) gives no headers: %s" % (version, exe, e))
    config = os.path.join(include, "pyconfig.h")
    with open(config) as f:
        text = f.read()
    # Debian's pyconfig.h only picks the one of its multiarch triplet.
    m = multiarch and re.search(r"#\s*include\s*<(%s/[^>]+/pyconfig\.h)>" % re.escape(multiarch), text)
    if m:
        config = os.path.join(os.path.dirname(include), m.group(1))
        with open(config) as f:
            text = f.read()
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    shutil.copytree(include, dest)
    text, off = macos_pyconfig(text, sdk_header_names(sdk))
    with open(os.path.join(dest, "pyconfig.h"), "w") as f:
        f.write(text)
    print("CPython %d headers: %s (pyconfig.h from %s; switched off: %s)"
          % (version, dest, config, ", ".join(off) or "nothing"))
    return dest


# ---- The SDK's link stubs --------------------------------------------------

def repaired_stubs(sdk, root):
    """Framework stubs to link against ahead of the SDK's own, for an SDK
    whose stubs differ from what macOS SDKs hold; None when it needs none.

    The public snapshot of the macOS 11.3 SDK this check is run with
    (hexops-graveyard/sdk-macos-11.3) stripped the re-exports from every
    framework stub. Its ApplicationServices.tbd then no longer passes on
    the CoreGraphics and HIServices symbols that macusb reaches through
    "-framework ApplicationServices", and a bundle linked with "-undefined
    dynamic_lookup" would defer them to load time (the import check below
    fails on them). The copy made here re-exports again what a real SDK's
    does for those symbols: the sub-frameworks inlined in the stub, and
    CoreGraphics, inlined into the copy too."""
    frameworks = os.path.join(sdk, "System", "Library", "Frameworks")
    umbrella = os.path.join(frameworks, "ApplicationServices.framework", "ApplicationServices.tbd")
    graphics = os.path.join(frameworks, "CoreGraphics.framework", "CoreGraphics.tbd")
    if not (os.path.isfile(umbrella) and os.path.isfile(graphics)):
        return None
    with open(umbrella) as f:
        text = f.read()
    if "reexported-libraries:" in text:
        return None
    with open(graphics) as f:
        graphics_text = f.read()
    names = re.findall(r"install-name:\s*('[^']*')", text)[1:]  # the umbrella's own first
    graphics_name = re.search(r"install-name:\s*('[^']*')", graphics_text)
    targets = re.search(r"targets:\s*\[[^]]*\]", text)
    at = text.find("\nexports:")
    if not names or not graphics_name or not targets or at < 0:
        fail("%s lacks its re-exports and has an unexpected layout" % umbrella)
    names.append(graphics_name.group(1))
    head, tail = text[:at + 1], text[at + 1:]
    tail = re.sub(r"\n\.\.\.\s*$", "\n", tail)  # the document goes on into CoreGraphics's
    out = os.path.join(root, "sdk-stubs")
    target = os.path.join(out, "ApplicationServices.framework", "ApplicationServices.tbd")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "w") as f:
        f.write("%sreexported-libraries:\n  - %s\n    libraries: [ %s ]\n%s%s"
                % (head, targets.group(0), ", ".join(names), tail, graphics_text))
    print("The SDK's ApplicationServices.tbd re-exports nothing: linking against %s, which "
          "re-exports %d libraries as a real SDK's does" % (target, len(names)))
    return out


# ---- Building --------------------------------------------------------------

def check_log(name, log):
    noisy = [l for l in log.splitlines() if re.search(r"\b(warning|error):", l)]
    if noisy:
        fail("%s: the build is not clean:\n  %s" % (name, "\n  ".join(noisy)))


def build_with_script(name, tree, archs, target, common):
    env = dict(os.environ, BUILD_DIR=tree)
    cmd = [os.path.join(TOP, "scripts", "build.sh"),
           "-DCMAKE_OSX_ARCHITECTURES=" + ";".join(archs),
           "-DCMAKE_OSX_DEPLOYMENT_TARGET=" + target] + common
    print("== %s: %s" % (name, " ".join(shlex.quote(c) for c in cmd)), flush=True)
    proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if proc.returncode:
        fail("%s: build failed:\n%s" % (name, proc.stdout))
    check_log(name, proc.stdout)


def build_with_setup(tree, platform, extra):
    """setup.py's build_ext as a CPython 3 of the given macOS platform runs it."""
    env = dict(os.environ, _PYTHON_HOST_PLATFORM=platform,
               TILESTREAM_CMAKE_ARGS=" ".join(shlex.quote(a) for a in extra))
    for var in ("ARCHFLAGS", "MACOSX_DEPLOYMENT_TARGET"):
        env.pop(var, None)
    cmd = [interpreter(3), "setup.py", "-q", "build_ext", "--parallel", "2",
           "--build-temp", os.path.join(tree, "temp"), "--build-lib", os.path.join(tree, "lib")]
    print("== setup.py (%s): %s" % (platform, " ".join(shlex.quote(c) for c in cmd)), flush=True)
    proc = subprocess.run(cmd, cwd=TOP, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if proc.returncode:
        fail("setup.py build failed:\n%s" % proc.stdout)
    check_log("setup.py", proc.stdout)
    return os.path.join(tree, "temp", "cmake")


def target_flags(tree, target_dir):
    """What compiles and links one target: its flags.make (per-file options
    included) and link.txt, with the build tree's own path taken out."""
    text = ""
    for f in ("flags.make", "link.txt"):
        path = os.path.join(tree, target_dir, f)
        if os.path.exists(path):
            with open(path) as fh:
                text += "".join(l for l in fh if not l.startswith("# CMAKE generated")
                                and not l.startswith("# Generated by"))
    return text.replace(tree, "<tree>")


def compare_flags(script_tree, setup_tree, version):
    dirs = ["python/vidframe/CMakeFiles/vidframe_core.dir"] + [
        "python/%s/CMakeFiles/%s_py%d.dir" % (m, m, version) for m in MODULES]
    for d in dirs:
        a, b = target_flags(script_tree, d), target_flags(setup_tree, d)
        if not a or a != b:
            import difflib
            diff = "\n".join(difflib.unified_diff(a.splitlines(), b.splitlines(), "build.sh",
                                                  "setup.py", lineterm=""))
            fail("setup.py builds %s with other flags than scripts/build.sh:\n%s" % (d, diff))
    print("setup.py: the same compile and link flags as scripts/build.sh for %s"
          % ", ".join(os.path.basename(d)[:-4] for d in dirs))


# ---- Reading the bundles ---------------------------------------------------

def slices(objdump, path):
    """The architectures of a bundle and its universal headers (empty for a
    one-architecture file)."""
    out = run([objdump, "--macho", "--universal-headers", path])
    archs = re.findall(r"^architecture (\S+)", out, re.M)
    if not archs:
        cputype = slice_facts(objdump, path, None)["cputype"]
        archs = [{"X86_64": "x86_64", "ARM64": "arm64"}.get(cputype, cputype)]
    return archs, out


def arch_option(arch):
    return ["--arch=" + arch] if arch else []


def slice_facts(objdump, path, arch):
    """File type, minimum macOS and the libraries the slice loads."""
    out = run([objdump, "--macho"] + arch_option(arch) + ["--private-headers", path])
    m = re.search(r"^\s*magic\s+cputype.*\n\s*\S+\s+(\S+)\s+\S+\s+\S+\s+(\S+)", out, re.M)
    filetype = m.group(2) if m else "?"
    cputype = m.group(1) if m else "?"
    minos = re.search(r"cmd LC_BUILD_VERSION\n(?:.*\n)*?\s*minos (\S+)", out)
    if not minos:
        minos = re.search(r"cmd LC_VERSION_MIN_MACOSX\n(?:.*\n)*?\s*version (\S+)", out)
    dylibs = re.findall(r"cmd LC_(?:LOAD|LOAD_WEAK|REEXPORT)_DYLIB\n\s*cmdsize \d+\n\s*name (\S+)", out)
    return {"filetype": filetype, "cputype": cputype,
            "minos": minos.group(1) if minos else "?", "dylibs": dylibs}


def imports(objdump, path, arch):
    """(symbol, library) for every bind, lazy bind and weak bind of a slice,
    and for every undefined symbol of its symbol table (which also names
    those the binding tables leave out); library is "flat-namespace" for one
    looked up at load time and None for a weak bind (resolved by name)."""
    out = run([objdump, "--macho"] + arch_option(arch) + ["--bind", "--lazy-bind", "--weak-bind", path])
    found = []
    table = None
    for line in out.splitlines():
        if line.endswith("table:"):
            table = line.split()[0]
            continue
        fields = line.split()
        if not fields or fields[0] == "segment" or not table:
            continue
        if table == "Bind" and len(fields) >= 7:
            found.append((fields[6], fields[5]))
        elif table == "Lazy" and len(fields) >= 5:
            found.append((fields[4], fields[3]))
        elif table == "Weak" and len(fields) >= 6:
            found.append((fields[5], None))
    nm = run([llvm_tool("llvm-nm"), "-m", "--undefined-only"] + arch_option(arch) + [path])
    for line in nm.splitlines():
        m = re.match(r"\s*\(undefined\)(?: weak)? external (\S+) \((?:from (\S+)|(dynamically looked up))\)", line)
        if m:
            found.append((m.group(1), m.group(2) or "flat-namespace"))
        elif line.strip() and not line.endswith(":"):
            fail("%s [%s]: unexpected symbol table line: %s" % (path, arch, line))
    return found


def check_bundle(objdump, path, minimums, report):
    """Checks every slice of one bundle; returns its one-line summaries."""
    archs, headers = slices(objdump, path)
    if sorted(archs) != sorted(minimums):
        fail("%s: slices %s, expected %s" % (path, archs, sorted(minimums)))
    report.write("## %s\n%s" % (path, headers))
    lines = []
    for arch in archs:
        facts = slice_facts(objdump, path, arch)
        if facts["filetype"] != "BUNDLE":
            fail("%s [%s]: a %s, not a bundle" % (path, arch, facts["filetype"]))
        if facts["minos"] != minimums[arch]:
            fail("%s [%s]: minimum macOS %s, expected %s" % (path, arch, facts["minos"], minimums[arch]))
        strange = [d for d in facts["dylibs"] if not SYSTEM_LIBRARY.match(d)]
        if strange:
            fail("%s [%s]: loads libraries from outside the system: %s" % (path, arch, strange))
        symbols = imports(objdump, path, arch)
        bound = {s for s, lib in symbols if lib and lib != "flat-namespace"}
        counts = {}
        unbound = []
        report.write("### %s %s (minimum macOS %s)\n" % (path, arch, facts["minos"]))
        for d in facts["dylibs"]:
            report.write("  loads %s\n" % d)
        for symbol, lib in sorted(set(symbols), key=lambda x: (x[1] or "", x[0])):
            if lib == "flat-namespace":
                where = "interpreter" if INTERPRETER_SYMBOL.match(symbol) else None
            elif lib is None:
                where = "weak" if symbol in bound else None
            else:
                where = lib
            report.write("  %-60s %s\n" % (symbol, where or "UNBOUND (%s)" % (lib or "weak")))
            if where is None:
                unbound.append(symbol)
            else:
                counts[where] = counts.get(where, 0) + 1
        if unbound:
            fail("%s [%s]: imports that no library provides: %s" % (path, arch, ", ".join(unbound)))
        lines.append("%-11s %-6s min %-6s %3d imports, all bound: %s" % (
            os.path.basename(path), arch, facts["minos"], sum(counts.values()),
            ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
    return lines


def vector_instructions(objdump, path, arch):
    """How many instructions of the slice use ymm and zmm registers."""
    out = run([objdump, "--macho"] + arch_option(arch) + ["-d", "--no-show-raw-insn", path])
    lines = out.splitlines()
    return (sum(1 for l in lines if "%ymm" in l and "%zmm" not in l),
            sum(1 for l in lines if "%zmm" in l))


# ---- The check -------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sdk", default=os.environ.get("TILESTREAM_MACOS_SDK"),
                        help="macOS SDK directory (default: $TILESTREAM_MACOS_SDK)")
    parser.add_argument("--build-root", default=os.path.join(TOP, "build-macos"))
    parser.add_argument("--host-build", default=HOST_BUILD[0],
                        help="the configured build tree of this machine whose CPython 2.7 and 3 "
                             "lend their headers (default: build/)")
    args = parser.parse_args()
    HOST_BUILD[0] = os.path.abspath(args.host_build)
    if not args.sdk or not os.path.isfile(os.path.join(args.sdk, "usr", "include", "stdio.h")):
        fail("--sdk (or TILESTREAM_MACOS_SDK) must name a macOS SDK, got %r" % args.sdk)
    sdk = os.path.abspath(args.sdk)
    root = os.path.abspath(args.build_root)
    os.makedirs(root, exist_ok=True)
    objdump = llvm_tool("llvm-objdump")
    stubs = repaired_stubs(sdk, root)
    if stubs:
        # Ahead of the SDK's frameworks in every link, setup.py's too.
        os.environ["LDFLAGS"] = (os.environ.get("LDFLAGS", "") + " -Wl,-F" + stubs).strip()

    include = {v: stage_headers(v, sdk, os.path.join(root, "python%d-include" % v)) for v in (2, 3)}
    toolchain = ["-DCMAKE_TOOLCHAIN_FILE=" + TOOLCHAIN, "-DTILESTREAM_MACOS_SDK=" + sdk]
    # What a macOS user of scripts/build.sh gets (the modules alone), with
    # the headers given instead of asked of the interpreters.
    common = toolchain + [
        "-DTILESTREAM_PYTHON_VERSIONS=2;3",
        "-DPYTHON2_INCLUDE_DIR=" + include[2], "-DPYTHON3_INCLUDE_DIR=" + include[3]]

    summary = []
    report_path = os.path.join(root, "imports.txt")
    with open(report_path, "w") as report:
        for name, archs, target, minimums in BUILDS:
            tree = os.path.join(root, name)
            # From scratch: the cache keeps what a toolchain file set up.
            if os.path.isdir(tree):
                shutil.rmtree(tree)
            build_with_script(name, tree, archs, target, common)
            for v in (2, 3):
                for m in MODULES:
                    path = os.path.join(tree, "python%d" % v, m + ".so")
                    for line in check_bundle(objdump, path, minimums, report):
                        summary.append("%-10s py%d %s" % (name, v, line))

        if os.path.isdir(os.path.join(root, "setup-universal2")):
            shutil.rmtree(os.path.join(root, "setup-universal2"))
        setup_tree = build_with_setup(os.path.join(root, "setup-universal2"),
                                      "macosx-10.13-universal2",
                                      toolchain + ["-DPYTHON3_INCLUDE_DIR=" + include[3]])
        compare_flags(os.path.join(root, "universal2"), setup_tree, 3)
        for m in MODULES:
            path = os.path.join(setup_tree, "python3", m + ".so")
            for line in check_bundle(objdump, path, BUILDS[2][3], report):
                summary.append("%-10s py3 %s" % ("setup.py", line))

    print("\nImported symbols by the library each binds to (every one: %s):" % report_path)
    for line in summary:
        print("  " + line)

    for m in MODULES:
        path = os.path.join(root, "universal2", "python3", m + ".so")
        print("\nSlices of the universal2 bundle %s:" % path)
        print(slices(objdump, path)[1].rstrip())
    universal = os.path.join(root, "universal2", "python3", "vidframe.so")

    # The x86_64 slice of the universal bundle carries the same AVX2 and
    # AVX-512 kernels as the x86_64 bundle; the arm64 slice none.
    alone = vector_instructions(objdump, os.path.join(root, "x86_64", "python3", "vidframe.so"), "x86_64")
    fat = vector_instructions(objdump, universal, "x86_64")
    print("\nvidframe x86_64 instructions on ymm / zmm registers: x86_64 bundle %d / %d, "
          "universal2 x86_64 slice %d / %d" % (alone + fat))
    if not (fat[0] and fat[1]) or fat != alone:
        fail("the x86_64 slice of the universal2 vidframe lacks AVX2 or AVX-512 kernels")
    print("check_bundles: all bundles link, every import is bound")


if __name__ == "__main__":
    main()
