"""What one-tile readouts cost from Python, next to the cheapest call of the
module: `toRGBString(x, y)` (1 KiB of pixels and their size) against
`getStats()`, each the best of several timeit repeats, in nanoseconds per
call. Python 2.7 and 3; run it with each:

    PYTHONPATH=build/python3 /usr/bin/python3 bench/readout_call.py
    PYTHONPATH=build/python2 $(pyenv prefix 2.7.18)/bin/python2.7 bench/readout_call.py
"""
import sys
import timeit

import vidframe

vidframe.createBuffer(1920, 1080)
NUMBER, REPEAT = 200000, 7


def best(stmt):
    timer = timeit.Timer(stmt, "from __main__ import vidframe")
    return min(timer.repeat(REPEAT, NUMBER)) / NUMBER * 1e9


cases = [("getStats()", "vidframe.getStats()"),
         ("toRGBString(x, y)", "vidframe.toRGBString(3, 2)"),
         ("toRGBString(x, y, 1, 1, 0.5)", "vidframe.toRGBString(3, 2, 1, 1, 0.5)")]
base = None
print("Python %d.%d.%d" % sys.version_info[:3])
for name, stmt in cases:
    ns = best(stmt)
    base = base or ns
    print("%-30s %7.1f ns  %5.2f x getStats" % (name, ns, ns / base))
