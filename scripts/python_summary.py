#!/usr/bin/env python3
"""Every test of a build tree's last ctest run, the Python tests per
interpreter, and every skip with its reason:

    python_summary.py BUILD_DIR

Each test's outcome comes from the run's JUnit record,
BUILD_DIR/Testing/Temporary/LastTest.junit.xml (ctest --output-junit
Testing/Temporary/LastTest.junit.xml, as scripts/test.sh runs ctest), its
whole output from LastTest.log (the JUnit record cuts long ones), and what
the interpreters are from BUILD_DIR/tilestream.env. Within each test's
output it counts pytest's closing line
and the reasons of -rs, unittest's "Ran N tests" and its verdict with the
reasons of -v, and GoogleTest's passed and skipped tests with their messages.
Exits with 1 when any test failed, did not run or counted a failure."""
import collections
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import buildenv  # noqa: E402

JUNIT = os.path.join("Testing", "Temporary", "LastTest.junit.xml")


def counts(output):
    """(passed, failed, skipped, [skip reasons]) of the tests one ctest test
    ran inside it, or None where its output has no such counts."""
    m = re.search(r"^=*\s*(\d+ \w+(?:, \d+ \w+)*) in [\d.]+s", output, re.M)
    if m:  # pytest
        words = dict((k, int(n)) for n, k in re.findall(r"(\d+) (\w+)", m.group(1)))
        failed = words.get("failed", 0) + words.get("error", 0) + words.get("errors", 0)
        why = []
        for n, reason in re.findall(r"^SKIPPED \[(\d+)\] [^:]+:\d+: (.*)$", output, re.M):
            why += [reason] * int(n)
        return words.get("passed", 0), failed, words.get("skipped", 0), why
    ran = re.search(r"^Ran (\d+) tests?", output, re.M)
    if ran:  # unittest -v
        total = int(ran.group(1))
        verdict = re.search(r"^(OK|FAILED|NO TESTS RAN)(?: \((.*)\))?$", output, re.M)
        detail = dict((k, int(n)) for k, n in re.findall(r"(\w+)=(\d+)", verdict.group(2) or "")) \
            if verdict else {}
        failed = detail.get("failures", 0) + detail.get("errors", 0) + \
            detail.get("unexpected successes", 0)
        if not verdict or verdict.group(1) == "FAILED":
            failed = max(failed, 1)
        skipped = detail.get("skipped", 0)
        why = [m[1] for m in re.findall(r"\.\.\. skipped (['\"])(.*)\1$", output, re.M)]
        return max(total - failed - skipped, 0), failed, skipped, why
    passed = re.search(r"^\[  PASSED  \] (\d+) tests?\.", output, re.M)
    failed = re.search(r"^\[  FAILED  \] (\d+) tests?, listed below", output, re.M)
    if passed or failed:  # GoogleTest
        why = [re.sub(r"\s+", " ", w).strip() for w in
               re.findall(r": Skipped\n(.*?)\n\[  SKIPPED \] \S+ \(", output, re.S)]
        skipped = re.search(r"^\[  SKIPPED \] (\d+) tests?, listed below", output, re.M)
        return (int(passed.group(1)) if passed else 0, int(failed.group(1)) if failed else 0,
                int(skipped.group(1)) if skipped else 0, why)
    return None


def sections(log):
    """{test name: its output} of every test of LastTest.log."""
    pattern = re.compile(r'^"([^"]+)" start time:.*?^Output:\n-+\n(.*?)<end of output>', re.S | re.M)
    return dict((m.group(1), m.group(2)) for m in pattern.finditer(log))


def tests(root, outputs):
    """(name, status, message, output) of every test of the run; status is
    passed, failed, skipped or not run."""
    for case in root.iter("testcase"):
        out = outputs.get(case.get("name"), case.findtext("system-out") or "")
        status, message = "passed", ""
        if case.find("failure") is not None:
            status, message = "failed", case.find("failure").get("message", "")
        elif case.find("skipped") is not None:
            message = case.find("skipped").get("message", "")
            # A skip of ctest's own making (SKIP_RETURN_CODE, SKIP_REGULAR_EXPRESSION);
            # anything else that kept a test from running is a failure.
            status = "skipped" if message.startswith("SKIP_") else "not run"
        elif case.get("status") not in ("run", None):
            status = case.get("status")
        yield case.get("name"), status, message, out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    path = os.path.join(build, JUNIT)
    log = os.path.join(build, "Testing", "Temporary", "LastTest.log")
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError) as e:
        print("python_summary: no JUnit record of a ctest run in %s (%s): run ctest with "
              "--output-junit %s" % (build, e, JUNIT))
        return 1
    if not os.path.exists(log) or abs(os.path.getmtime(log) - os.path.getmtime(path)) > 60:
        print("python_summary: %s is not of the last ctest run (LastTest.log): run ctest with "
              "--output-junit %s" % (path, JUNIT))
        return 1
    with open(log, errors="replace") as f:
        outputs = sections(f.read())
    values = buildenv.read(build) or {}
    labels = dict((i["id"], i["label"]) for i in buildenv.interpreters(values))

    status_count = collections.Counter()
    python = collections.OrderedDict()     # id: [files, passed, failed, skipped]
    others = []
    bad = []                               # tests that failed, or counted a failure
    reasons = collections.OrderedDict()    # reason: Counter of where
    for name, status, message, out in tests(root, outputs):
        status_count[status] += 1
        inner = counts(out)
        m = re.match(r"^py(\d+)\.", name)
        where = "py" + m.group(1) if m else name
        if status in ("failed", "not run") or (inner and inner[1]):
            bad.append("%s (%s%s)" % (name, status if status != "passed" else "counted failures",
                                      ": " + message if message else ""))
        if status == "skipped":
            last = [l for l in out.strip().splitlines() if l.strip()][-1:]
            reasons.setdefault("the whole test: %s%s" % (
                message, " (%s)" % last[0].strip() if last else ""), collections.Counter())[name] += 1
        for reason in (inner[3] if inner else []):
            reasons.setdefault(reason, collections.Counter())[where] += 1
        if m:
            row = python.setdefault(m.group(1), [0, 0, 0, 0])
            row[0] += 1
            if inner:
                for k in range(3):
                    row[k + 1] += inner[k]
            if status in ("failed", "not run") and not (inner and inner[1]):
                row[2] += 1  # the file itself failed: it crashed, or ran nothing
        else:
            others.append((name, status, inner))

    total = sum(status_count.values())
    print("Tests in %s (the last ctest run): %d, %s" % (
        build, total, ", ".join("%d %s" % (status_count[s], s)
                                for s in ("passed", "failed", "not run", "skipped") if status_count[s])))
    if python:
        print("  Python files per interpreter:")
        print("  %-50s %6s %6s %6s %7s" % ("interpreter", "files", "passed", "failed", "skipped"))
        for ident in sorted(python, key=lambda i: (len(i) > 1, int(i[1:] or 0), i)):
            files, passed, failed, skipped = python[ident]
            label = "py%s: %s" % (ident, labels.get(ident, "CPython (not in tilestream.env)"))
            print("  %-50s %6d %6d %6d %7d" % (label, files, passed, failed, skipped))
    if others:
        print("  Other tests:")
        for name, status, inner in others:
            inside = ""
            if inner:
                inside = "  (%d passed, %d failed, %d skipped inside)" % inner[:3]
            print("  %-50s %-8s%s" % (name, status, inside))
    for reason, where in reasons.items():
        print("  skipped: %s (%s)" % (reason, ", ".join(
            "%s x%d" % (w, n) if n > 1 else w for w, n in sorted(where.items()))))
    for line in bad:
        print("  FAILED: " + line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
