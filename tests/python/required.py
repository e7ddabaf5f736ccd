"""What this machine must have.

The test command (scripts/test.sh) sets the machine up first and then names
what the setup provides in TILESTREAM_REQUIRE (words separated by blanks,
such as "xvfb pillow"). A test that would skip for want of one of those
fails instead, with the same reason: on a machine that was set up, a
missing piece is a fault, not a choice. Without the variable (a developer's
own ctest run) the test skips, saying why. Runs under Python 2.7 and 3."""
import os


def required(word):
    """True when the test command says this machine must have `word`."""
    return word in os.environ.get("TILESTREAM_REQUIRE", "").split()


def skip_or_fail(test, word, reason):
    """Ends `test` (a unittest.TestCase) for want of `word`: a failure when
    it is required here, a skip otherwise. Never returns."""
    if required(word):
        test.fail("%s (TILESTREAM_REQUIRE names %r: scripts/setup.sh provides it)"
                  % (reason, word))
    test.skipTest(reason)
