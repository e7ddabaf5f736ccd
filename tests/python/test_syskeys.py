"""macusb's key tap against the stand-in of Quartz event taps and run loops
(tests/macstub): the report of every event type, the verdicts, Caps Lock,
the target-process rule, the modifier keys, enabling and disabling, and
callbacks that misbehave. The tap lives for the process once created, so
what happens before and during its creation runs in fresh interpreters.
Skipped where macusb is not built."""
import gc
import os
import subprocess
import sys
import threading
import unittest
import weakref

try:
    import macusb
except ImportError:
    macusb = None

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "macstub"))
import interpreter  # noqa: E402
import macstub  # noqa: E402
from macstub import KEY_DOWN, KEY_UP, FLAGS_CHANGED, SWALLOWED, PASSED, UNSEEN  # noqa: E402

PY2 = sys.version_info[0] == 2
FULL = os.environ.get("TILESTREAM_LEAK_FULL") == "1"
CONTROL, OPTION, COMMAND, SHIFT = 0x40000, 0x80000, 0x100000, 0x20000
OTHER = 0x777
CONSTANTS = [("kCGEventFlagMaskAlphaShift", 0x10000), ("kCGEventFlagMaskShift", 0x20000),
             ("kCGEventFlagMaskControl", 0x40000), ("kCGEventFlagMaskAlternate", 0x80000),
             ("kCGEventFlagMaskCommand", 0x100000), ("kCGEventFlagMaskNumericPad", 0x200000),
             ("kCGEventFlagsChanged", 12), ("nxKeymask_L_Ctrl", 0x1), ("nxKeymask_R_Ctrl", 0x2000),
             ("nxKeymask_L_Shift", 0x2), ("nxKeymask_R_Shift", 0x4), ("nxKeymask_L_Command", 0x8),
             ("nxKeymask_R_Command", 0x10), ("nxKeymask_L_Alt", 0x20), ("nxKeymask_R_Alt", 0x40)]
MODIFIERS = {54: 0x10, 55: 0x8, 56: 0x2, 58: 0x20, 59: 0x1, 60: 0x4, 61: 0x40, 62: 0x2000}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def under_asan():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


class Recorder(object):
    """A callable that records its reports and answers as `answer` says."""

    def __init__(self):
        self.reports = []
        self.answer = lambda report: 1

    def __call__(self, *report):
        self.reports.append(report)
        return self.answer(report)


def expect_raises(kind, message, call, *args):
    try:
        call(*args)
    except kind as e:
        assert str(e) == message, (str(e), message)
    else:
        raise AssertionError("%s did not raise %s" % (call, kind.__name__))


# ---- scenarios for a fresh interpreter (python test_syskeys.py --child NAME) ----

def child_setup_failures():
    """Everything before the tap exists, then its creation."""
    macstub.reset()
    expect_raises(EnvironmentError, "Was never setup.", macusb.syskeysDisable)
    expect_raises(TypeError, "Need a callable object", macusb.syskeys, 5)
    for bad in ((), (1, 2)):
        try:
            macusb.syskeys(*bad)
        except TypeError:
            pass
        else:
            raise AssertionError("syskeys%r" % (bad,))
    f = Recorder()
    base = sys.getrefcount(f)
    expect_raises(EnvironmentError, "Accessibility toggle is off, and we're not root.", macusb.syskeys, f)
    assert macstub.calls("CGEventTapCreate") == 0
    macstub.set_accessibility(False, True)
    macstub.fail_next("CGEventTapCreate", 0, True)
    expect_raises(EnvironmentError, "Late failure getting tap; permissions?", macusb.syskeys, f)
    macstub.set_accessibility(True, False)
    for call, message in (("CFMachPortCreateRunLoopSource", "No event run loop src?"),
                          ("CFRunLoopGetCurrent", "No run loop?")):
        macstub.fail_next(call, 0, True)
        expect_raises(RuntimeError, message, macusb.syskeys, f)
        # The tap went with the failure, so nothing is left to disable.
        assert macstub.live_by_kind(macstub.KEY_KINDS) == {}, call
        expect_raises(EnvironmentError, "Was never setup.", macusb.syskeysDisable)
    assert sys.getrefcount(f) == base
    assert macusb.syskeys(f) is None
    assert sys.getrefcount(f) == base + 1  # the module's own reference
    for what, value in (("location", 1), ("placement", 0), ("options", 0), ("mask", 0x1c00),
                        ("enabled", 1), ("served", 1), ("taps", 1)):
        assert macstub.tap(what) == value, (what, macstub.tap(what))
    assert macstub.live_by_kind(macstub.KEY_KINDS) == {"tap": 1, "source": 1}
    macstub.post(KEY_DOWN, 4)
    assert macstub.run_loop() == 1
    assert f.reports == [(1, 0, 4, 0, 0)]


def child_dropped_callable():
    """The application lets go of the callable: the tap goes on with it,
    through answers that raise, are no numbers, or swallow."""
    macstub.reset()
    macstub.set_accessibility(True, True)
    f = Recorder()
    answers = [lambda r: 0, lambda r: 1, lambda r: "x", lambda r: 1 // 0, lambda r: None]
    turn = [0]

    def answer(report):
        turn[0] += 1
        return answers[turn[0] % len(answers)](report)

    f.answer = answer
    alive = weakref.ref(f)
    macusb.syskeys(f)
    del f, answer
    gc.collect()
    assert alive() is not None
    rounds = 1000 if FULL else 50

    turns = [0]

    def burst():
        for _ in range(100):
            macstub.post(KEY_DOWN, 7)
        turns[0] += 1
        macstub.run_loop(hold_lock=turns[0] % 2 == 0)
        verdicts = [v for _, _, v in macstub.delivered()]
        macstub.reset()  # the stand-in's own record of deliveries would grow
        alive().reports[:] = []
        return verdicts.count(SWALLOWED), verdicts.count(PASSED)

    with macstub.captured_stderr() as err:
        for _ in range(2):
            assert burst() == (20, 80)
    assert err[0].count("TypeError: expecting int") == 2 * 40, err[0][-300:]
    assert err[0].count("ZeroDivisionError") == 2 * 20
    with macstub.captured_stderr(os.devnull):
        gc.collect()
        objects, before = len(gc.get_objects()), rss()
        for _ in range(rounds):
            assert burst() == (20, 80)
        gc.collect()
    assert sys.exc_info() == (None, None, None)
    assert len(gc.get_objects()) <= objects + 10, len(gc.get_objects()) - objects
    assert macstub.live("event") == 0
    if not under_asan():
        assert rss() - before < 4 << 20, rss() - before


CHILDREN = {"setup_failures": child_setup_failures, "dropped_callable": child_dropped_callable}


# ---- tests ---------------------------------------------------------------------

RECORDER = Recorder()


@unittest.skipIf(macusb is None, "macusb is not built here")
class SysKeysTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if macstub.tap("taps") < 1:
            macstub.reset()
            macstub.set_accessibility(True, True)
            macusb.syskeys(RECORDER)

    def setUp(self):
        macstub.reset()
        macusb.syskeys(RECORDER)
        RECORDER.reports[:] = []
        RECORDER.answer = lambda report: 1

    def tearDown(self):
        self.assertEqual(macstub.pending(), 0)
        self.assertEqual(macstub.live_by_kind(macstub.KEY_KINDS), {"tap": 1, "source": 1})

    def events(self, *events, **kw):
        """Posts (type, keycode, flags[, target]) events and runs the loop;
        (reports, verdicts, standard error)."""
        for e in events:
            macstub.post(e[0], e[1], e[2] if len(e) > 2 else 0, kw.get("autorepeat", 0),
                         e[3] if len(e) > 3 else None)
        with macstub.captured_stderr() as err:
            macstub.run_loop(hold_lock=kw.get("hold_lock", False))
        self.assertEqual(sys.exc_info(), (None, None, None))
        return RECORDER.reports, [v for _, _, v in macstub.delivered()], err[0]

    def test_fresh_interpreters(self):
        for name in sorted(CHILDREN):
            p = subprocess.Popen(interpreter.command() + [os.path.abspath(__file__), "--child", name],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = p.communicate()
            self.assertEqual(p.returncode, 0, "%s:\n%s%s" % (name, out.decode(), err.decode()[-3000:]))

    def test_table_and_constants(self):
        self.assertEqual(macusb.syskeys.__doc__, "Try to do advanced key access")
        self.assertEqual(macusb.syskeysDisable.__doc__, "Cancel syskey events")
        for name, value in CONSTANTS:
            self.assertEqual(getattr(macusb, name), value)
        if not PY2:
            names = [n for n in vars(macusb) if not n.startswith("__")]
            self.assertEqual(names[-len(CONSTANTS):], [n for n, _ in CONSTANTS])
            self.assertEqual(names[names.index("getHiSpeed") + 1:][:2], ["syskeys", "syskeysDisable"])

    def test_report_of_each_event_type(self):
        for hold in (False, True):
            RECORDER.reports[:] = []
            macstub.reset()
            macusb.syskeys(RECORDER)
            reports, verdicts, _ = self.events((KEY_DOWN, 4, SHIFT), (KEY_UP, 4, 0), (FLAGS_CHANGED, 56, 0x20102),
                                               hold_lock=hold)
            self.assertEqual(reports, [(1, 0, 4, 0, SHIFT), (0, 0, 4, 0, 0), (1, 0, 56, 0, 0x20102)])
            self.assertEqual(verdicts, [PASSED] * 3)
        RECORDER.reports[:] = []
        reports, _, _ = self.events((KEY_DOWN, 4), (FLAGS_CHANGED, 56), autorepeat=9)
        self.assertEqual(reports, [(1, 0, 4, 1, 0), (0, 0, 56, 1, 0)])

    def test_verdicts(self):
        answers = [(0, SWALLOWED), (False, SWALLOWED), (1 << 32, SWALLOWED), (-(1 << 32), SWALLOWED),
                   (1, PASSED), (True, PASSED), (-1, PASSED), (7, PASSED), ((1 << 32) + 3, PASSED),
                   (1 << 31, PASSED)]
        for answer, verdict in answers:
            macstub.reset()
            RECORDER.answer = lambda report, a=answer: a
            _, verdicts, err = self.events((KEY_DOWN, 4))
            self.assertEqual((answer, verdicts), (answer, [verdict]))
            self.assertEqual(err, "")

    def test_misbehaving_callbacks_pass_the_event_and_leave_nothing_set(self):
        def raises(report):
            raise ValueError("from the callback")
        cases = [(lambda r: "x", "TypeError: expecting int"), (lambda r: None, "TypeError: expecting int"),
                 (raises, "ValueError: from the callback"), (lambda r: 1 << 70, "OverflowError")]
        for answer, printed in cases:
            for hold in (False, True):
                macstub.reset()
                RECORDER.answer = answer
                _, verdicts, err = self.events((KEY_DOWN, 4), hold_lock=hold)
                self.assertEqual(verdicts, [PASSED])
                self.assertIn(printed, err)
                self.assertEqual(int("5"), 5)  # no exception waits to surface here

    def test_caps_lock_reports_press_and_release(self):
        for first, second, verdict in ((0, 1, SWALLOWED), (1, 0, PASSED), (0, "raise", SWALLOWED)):
            macstub.reset()
            RECORDER.reports[:] = []

            def answer(report, first=first, second=second):
                if report[0] == 1:
                    return first
                if second == "raise":
                    raise KeyError("second")
                return second
            RECORDER.answer = answer
            reports, verdicts, err = self.events((FLAGS_CHANGED, 57, 0x10100), autorepeat=1)
            self.assertEqual(reports, [(1, 0, 57, 1, 0x10100), (0, 0, 57, 0, 0x10100)])
            self.assertEqual(verdicts, [verdict])
            self.assertEqual("KeyError" in err, second == "raise")

    def test_modifier_keys(self):
        for key, bit in sorted(MODIFIERS.items()):
            RECORDER.reports[:] = []
            reports, _, _ = self.events((FLAGS_CHANGED, key, bit | 0x100), (FLAGS_CHANGED, key, 0x100))
            self.assertEqual(reports, [(1, 0, key, 0, bit | 0x100), (0, 0, key, 0, 0x100)])
        # Another key's bit does not count; key code 0 and unknown codes pass unreported.
        RECORDER.reports[:] = []
        macstub.reset()
        reports, verdicts, err = self.events((FLAGS_CHANGED, 56, 0x4), (FLAGS_CHANGED, 0, 0x2),
                                             (FLAGS_CHANGED, 63, 0x2), (FLAGS_CHANGED, 53, 0))
        self.assertEqual(reports, [(0, 0, 56, 0, 0x4)])
        self.assertEqual(verdicts, [PASSED] * 4)
        self.assertEqual(err, "Unknown meta key: 63\nUnknown meta key: 53\n")

    def test_target_process_rule(self):
        own = macstub.own_psn()
        cases = [(0, OTHER, False), (SHIFT, OTHER, False), (CONTROL, OTHER, True), (OPTION, OTHER, True),
                 (COMMAND, OTHER, True), (0, own, True), (0, (5 << 32) | own, False)]
        for flags, target, reported in cases:
            for kind in (KEY_DOWN, KEY_UP):
                macstub.reset()
                RECORDER.reports[:] = []
                RECORDER.answer = lambda report: 0
                reports, verdicts, _ = self.events((kind, 4, flags, target))
                self.assertEqual((flags, target, len(reports)), (flags, target, 1 if reported else 0))
                self.assertEqual(verdicts, [SWALLOWED if reported else PASSED])
        # SameProcess failing counts as this process; modifier changes go anywhere.
        macstub.reset()
        RECORDER.reports[:] = []
        macstub.fail_next("SameProcess", (1 << 32) - 50)
        reports, _, _ = self.events((KEY_DOWN, 4, 0, OTHER), (KEY_DOWN, 5, 0, OTHER), (FLAGS_CHANGED, 56, 2, OTHER))
        self.assertEqual(reports, [(1, 0, 4, 0, 0), (1, 0, 56, 0, 2)])

    def test_disabling_and_notices(self):
        self.assertIsNone(macusb.syskeysDisable())
        self.assertIsNone(macusb.syskeysDisable())
        self.assertEqual(macstub.tap("enabled"), 0)
        reports, verdicts, _ = self.events((KEY_DOWN, 4))
        self.assertEqual((reports, verdicts), ([], [UNSEEN]))
        # Another callable only enables the tap again.
        other = Recorder()
        base = sys.getrefcount(other)
        self.assertIsNone(macusb.syskeys(other))
        self.assertEqual(sys.getrefcount(other), base)
        self.assertEqual(macstub.tap("enabled"), 1)
        macstub.disable_taps(False)
        macstub.disable_taps(True)
        reports, _, _ = self.events((KEY_DOWN, 4))
        self.assertEqual(reports, [(0, 1, 0, 0, 4294967294), (0, 2, 0, 0, 4294967295)])
        self.assertEqual(other.reports, [])
        self.assertEqual(macstub.delivered()[-1], (KEY_DOWN, 4, UNSEEN))
        macusb.syskeys(other)
        reports, _, _ = self.events((KEY_DOWN, 5))
        self.assertEqual(reports[-1], (1, 0, 5, 0, 0))
        self.assertRaises(TypeError, macusb.syskeysDisable, 1)

    def test_events_wait_for_the_installing_thread(self):
        handled = []
        macstub.post(KEY_DOWN, 4)
        t = threading.Thread(target=lambda: handled.append(macstub.run_loop()))
        t.start()
        t.join()
        self.assertEqual((handled, macstub.pending(), RECORDER.reports), ([0], 1, []))
        reports, _, _ = self.events()
        self.assertEqual(reports, [(1, 0, 4, 0, 0)])


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        CHILDREN[sys.argv[2]]()
    else:
        unittest.main()
