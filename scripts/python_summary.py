#!/usr/bin/env python3
"""Python tests passed, failed and skipped per interpreter, read from a
build tree's last ctest run (Testing/Temporary/LastTest.log):

    python_summary.py BUILD_DIR

Each py<id>.<file> test's output is counted: pytest's closing line with the
reasons of -rs, or unittest's "Ran N tests" and its verdict, with the
reasons of -v. Prints one row per interpreter and the skip reasons."""
import collections
import os
import re
import sys

INTERPRETERS = {"2": "CPython 2.7 (pyenv)", "3": "CPython 3 (the system's)"}


def label(build, ident):
    if ident in INTERPRETERS:
        name = INTERPRETERS[ident]
        if ident == "3" and os.path.exists(os.path.join(build, "python3-i386")):
            name = "CPython 3.11 i386 (the system's libpython, our launcher)"
        return name
    return "CPython %s.%s (pyenv)" % (ident[0], ident[1:])


def sections(log):
    """(test name, its output) for every test of the log."""
    pattern = re.compile(r'^"([^"]+)" start time:.*?^Output:\n-+\n(.*?)<end of output>', re.S | re.M)
    for m in pattern.finditer(log):
        yield m.group(1), m.group(2)


def counts(output):
    """(passed, failed, skipped, [skip reasons]) of one test file's run."""
    reasons = re.findall(r"^SKIPPED \[(\d+)\] [^:]+:\d+: (.*)$", output, re.M)
    m = re.search(r"^=*\s*(\d+ \w+(?:, \d+ \w+)*) in [\d.]+s", output, re.M)
    if m:  # pytest
        words = dict((k, int(n)) for n, k in re.findall(r"(\d+) (\w+)", m.group(1)))
        failed = words.get("failed", 0) + words.get("error", 0) + words.get("errors", 0)
        why = []
        for n, reason in reasons:
            why += [reason] * int(n)
        return words.get("passed", 0), failed, words.get("skipped", 0), why
    ran = re.search(r"^Ran (\d+) tests?", output, re.M)
    if ran:  # unittest -v
        total = int(ran.group(1))
        verdict = re.search(r"^(OK|FAILED)(?: \((.*)\))?$", output, re.M)
        detail = dict((k, int(n)) for k, n in re.findall(r"(\w+)=(\d+)", verdict.group(2) or "")) \
            if verdict else {}
        failed = detail.get("failures", 0) + detail.get("errors", 0) + \
            detail.get("unexpected successes", 0)
        if not verdict:
            failed = max(failed, 1)
        skipped = detail.get("skipped", 0)
        why = re.findall(r"\.\.\. skipped '(.*)'$", output, re.M)
        return total - failed - skipped, failed, skipped, why
    return 0, 1, 0, []  # no verdict at all: it crashed


def main():
    build = sys.argv[1]
    path = os.path.join(build, "Testing", "Temporary", "LastTest.log")
    try:
        with open(path, errors="replace") as f:
            log = f.read()
    except OSError as e:
        print("python_summary: no ctest log in %s (%s)" % (build, e.strerror))
        return 1
    rows = collections.OrderedDict()
    for name, output in sections(log):
        m = re.match(r"^py(\d+)\.", name)
        if not m:
            continue
        row = rows.setdefault(m.group(1), [0, 0, 0, collections.Counter(), 0])
        passed, failed, skipped, why = counts(output)
        row[0] += passed
        row[1] += failed
        row[2] += skipped
        row[3].update(why)
        row[4] += 1
    if not rows:
        print("python_summary: no Python tests ran in %s" % build)
        return 0
    order = sorted(rows, key=lambda i: (len(i) > 1, int(i[1:] or 0)))
    print("Python tests in %s:" % build)
    print("  %-58s %6s %6s %6s %6s" % ("interpreter", "files", "passed", "failed", "skipped"))
    for ident in order:
        passed, failed, skipped, _, files = rows[ident]
        print("  %-58s %6d %6d %6d %6d" % (label(build, ident), files, passed, failed, skipped))
    reasons = collections.Counter()
    for ident in order:
        for reason, n in rows[ident][3].items():
            reasons[(reason, ident)] += n
    by_reason = collections.OrderedDict()
    for (reason, ident), n in sorted(reasons.items()):
        by_reason.setdefault(reason, []).append("py%s x%d" % (ident, n))
    for reason, where in by_reason.items():
        print("  skipped: %s (%s)" % (reason, ", ".join(where)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
