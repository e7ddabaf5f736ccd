"""The display loop from Python against the memory floor, in one process.

One whole-frame update of 1920 x 1080 (about 70% solid and 30% image tiles,
16 KiB chunks closed by a padding marker, as the adapter sends it; the
shape of bench/streams.h) goes through the loop the application runs:

    for each chunk: videoSink(chunk)
        for each tile row: getChanges(row, tiles)
            for each run: toRGBString(first, row, count, 1, scale)

(the drawing of each run is the toolkit's and is not counted). The floor is
what such an update must cost in memory traffic: two copies of the frame's
bytes, one to write the frame and one to read it out, done by bytearray
slice assignment (a memmove; every round checks it really copied).

Rounds are interleaved: each times one loop and then one floor, back to back,
in this process's CPU time. Reported per scale: the loop's and the floor's
median times, floor / loop (median, and the lowest and highest round; above
1 the loop beats the floor) and the share of one core that a 45 MB/s stream
of such updates needs (loop seconds per update x 45e6 / bytes per update).

Any CPython from 2.7 and 3.6 on, given that interpreter's modules:

    PYTHONPATH=build/python3 /usr/bin/python3 bench/display_loop.py
    PYTHONPATH=build/python2 $(pyenv prefix 2.7.18)/bin/python2.7 bench/display_loop.py

    /usr/bin/python3 bench/display_loop.py --all [BUILD ...]

--all runs every interpreter of build/ and build-i386/ (or of the trees
named) whose python<id>/ holds a vidframe module, as the tree's
tilestream.env names it, and prints one table.
"""
from __future__ import division, print_function

import binascii
import os
import random
import struct
import subprocess
import sys
import time

WIDTH, HEIGHT = 1920, 1080
CHUNK = 16384
SCALES = (1.0, 0.5)
STREAM_RATE = 45e6
HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
# The stream's messages and chunking, and the loop itself, are vidtool's:
# the one encoder and the one display loop of the project.
sys.path.insert(0, os.path.join(TOP, "tools"))
from vidtool import display, stream  # noqa: E402
# What a build tree holds is its tilestream.env's to say.
sys.path.insert(0, os.path.join(TOP, "tests", "python"))
import buildenv  # noqa: E402

try:
    cpu_time = time.thread_time          # 3.7 on
except AttributeError:
    cpu_time = getattr(time, "process_time", None) or time.clock   # 3.6; 2.7


def frame_messages(tiles_w, tiles_h, seed=7):
    rng = random.Random(seed)
    msgs = []
    for row in range(tiles_h):
        for column in range(tiles_w):
            if rng.random() < 0.7:
                msgs.append(stream.solid(column, row, rng.getrandbits(16)))
            else:
                pixels = binascii.unhexlify("%01024x" % rng.getrandbits(4096))
                msgs.append(stream.image(column, row, struct.unpack("<256H", pixels)))
    return msgs


def make_loop(vidframe, chunks, grid, scale):
    """The display loop over one update, without drawing (the toolkit's)."""
    sink = vidframe.videoSink

    def loop():
        tiles = 0
        for chunk in chunks:
            sink(chunk)
            tiles += display.display_loop(vidframe, grid, scale)
        return tiles
    return loop


def make_floor(frame_bytes):
    a = bytearray(b"\x5a") * frame_bytes
    b = bytearray(frame_bytes)
    c = bytearray(frame_bytes)
    turn = [0]

    def floor():
        turn[0] = (turn[0] + 1) & 0xFF
        a[turn[0] * 4099 % frame_bytes] = turn[0]
        b[:] = a                      # write the frame
        c[:] = b                      # read it out
        return c[turn[0] * 4099 % frame_bytes] == turn[0]
    return floor


def timed(f):
    t0 = cpu_time()
    result = f()
    return cpu_time() - t0, result


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def measure(rounds):
    import vidframe
    display.new_frame(vidframe, (WIDTH, HEIGHT))
    tiles_w, tiles_h = (WIDTH + 15) // 16, (HEIGHT + 15) // 16
    chunks = stream.chunked(frame_messages(tiles_w, tiles_h), CHUNK)
    stream_bytes = sum(len(c) for c in chunks)
    floor = make_floor(WIDTH * HEIGHT * 4)
    results = []
    for scale in SCALES:
        loop = make_loop(vidframe, chunks, (tiles_w, tiles_h), scale)
        loop()
        floor()                           # page faults and caches are nobody's
        loops, floors, ratios = [], [], []
        for _ in range(rounds):
            t, tiles = timed(loop)
            if tiles != tiles_w * tiles_h:
                raise SystemExit("the loop read out %d tiles, not %d" % (tiles, tiles_w * tiles_h))
            f, copied = timed(floor)
            if not copied:
                raise SystemExit("the floor's copies did not copy")
            loops.append(t)
            floors.append(f)
            ratios.append(f / t)
        t = median(loops)
        results.append(dict(scale=scale, loop_ms=t * 1e3, floor_ms=median(floors) * 1e3,
                            ratio=median(ratios), lo=min(ratios), hi=max(ratios),
                            core=t * STREAM_RATE / stream_bytes))
    return dict(python="%d.%d.%d" % sys.version_info[:3],
                bits=struct.calcsize("P") * 8, chunks=len(chunks), bytes=stream_bytes,
                rounds=rounds, results=results)


HEADER = "%-24s %5s %8s %8s %19s %8s  %s" % ("loop", "scale", "loop ms", "floor ms",
                                              "floor/loop (lo-hi)", "core@45", "modules")
LINE = "%-24s %5g %8.2f %8s %6.2f (%.2f-%.2f) %8.3f  %s"


def rows(label, m, where=""):
    for r in m["results"]:
        yield LINE % (label, r["scale"], r["loop_ms"], "%.2f" % r["floor_ms"], r["ratio"], r["lo"],
                      r["hi"], r["core"], where)


def abi(bits):
    return "i386" if bits == 32 else "x86-64"


def label_of(m):
    return "Python %s %s" % (m["python"], abi(m["bits"]))


# ---- every interpreter of the build ---------------------------------------------

def build_interpreters(build):
    """(interpreter, its modules' folder) of every interpreter the build tree
    was configured with whose folder holds a vidframe module, as CMake wrote
    them (tilestream.env, read by tests/python/buildenv.py)."""
    found = []
    for i in buildenv.interpreters(buildenv.read(build) or {}):
        folder = i["modules"]
        if os.path.isdir(folder) and any(f.startswith("vidframe") and f.endswith(".so")
                                         for f in os.listdir(folder)):
            found.append((i, folder))
    return found


def elf_bits(path):
    with open(path, "rb") as f:
        return 32 if f.read(5)[4:5] == b"\x01" else 64


def cpp_rows(build, runner):
    """The C++ loop cases of the build's vidframe_bench, if it has one."""
    import json
    bench = os.path.join(build, "bench", "vidframe_bench")
    if not os.path.exists(bench):
        return
    out = subprocess.check_output(runner + [bench, "--benchmark_filter=^loop/", "--benchmark_format=json",
                                            "--benchmark_repetitions=3",
                                            "--benchmark_report_aggregates_only=true"]).decode()
    label = "C++ core %s%s" % (abi(elf_bits(bench)), " (qemu)" if runner else "")
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        scale = float(b["name"].split("scale:")[1].split("/")[0])
        yield LINE % (label, scale, b["real_time"] / 1e6, "", b["x_floor"], b["x_floor_lo"],
                      b["x_floor_hi"], b["core_at_45MBps"], os.path.relpath(bench, TOP))


def run_all(builds, rounds):
    import json
    print("Display loop, 1920x1080 whole-frame update (mix); the floor (two memmoves of the "
          "frame) in the same process, interleaved")
    print(HEADER)
    failed = 0
    for build in builds:
        # The tree's programs run under its emulator where this host cannot run them.
        runner = buildenv.runner(buildenv.read(build) or {})
        for line in cpp_rows(build, runner):
            print(line)
        for interp, folder in build_interpreters(build):
            where = os.path.relpath(folder, TOP)
            if not os.path.exists(interp["executable"]):
                print("%-24s no interpreter for it (%s)" % (where, interp["executable"]))
                failed += 1
                continue
            env = dict(os.environ, PYTHONPATH=folder)
            proc = subprocess.Popen(interp["command"] + [os.path.abspath(__file__), "--json", "--rounds", str(rounds)],
                                    env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = proc.communicate()
            if proc.returncode != 0:
                print("%-24s failed: %s" % (where, err.decode(errors="replace").strip().splitlines()[-1:]))
                failed += 1
                continue
            m = json.loads(out.decode())
            for line in rows(label_of(m) + (" (qemu)" if runner else ""), m, where):
                print(line)
            sys.stdout.flush()
    print("floor/loop: a memmove of the frame in, one out, over the loop's time (above 1 the loop "
          "is faster);\ncore@45: the share of one core a 45 MB/s stream of such updates needs")
    return 1 if failed else 0


def main(argv):
    if "-h" in argv or "--help" in argv:
        print(__doc__)
        return 0
    rounds = 301
    if "--rounds" in argv:
        rounds = int(argv[argv.index("--rounds") + 1])
    if "--all" in argv:
        builds = [a for a in argv[argv.index("--all") + 1:] if not a.startswith("--") and not a.isdigit()]
        builds = builds or [os.path.join(TOP, "build"), os.path.join(TOP, "build-i386")]
        return run_all(builds, rounds)
    try:
        import vidframe  # noqa: F401
    except ImportError:
        sys.stderr.write("display_loop: no vidframe module on PYTHONPATH (or use --all BUILD ...)\n")
        return 1
    m = measure(rounds)
    if "--json" in argv:
        import json
        print(json.dumps(m))
        return 0
    print("%s: %d chunks, %d bytes per update, %d interleaved rounds" % (label_of(m), m["chunks"], m["bytes"], rounds))
    print(HEADER)
    for line in rows(label_of(m), m):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
