"""vidtool record and view against the real kernel, run inside the test VM
by Debian's python3:

    vm_record.py SCENARIO NODE ENDPOINT DIR DATA SRC BUILD PYTHON

vidtool runs under PYTHON with BUILD's modules: Debian's python3, or a
32-bit interpreter (the application's ABI), which records through the
kernel's 32-bit compatibility path. A 64-bit recording is replayed to a PNG
with vidtool replay; a 32-bit one (no Pillow there) through vidtool's
replay function in that interpreter, its RGB bytes compared directly.

The gadget plays DATA/record-all.rec (the bundled sample stream, one
record per chunk) or DATA/record-half.rec (its first half) and touches
DIR/sent when its last write was taken. Prints "OK ..." lines; a failed
check raises, so the exit status is the verdict.

The view scenario (Debian's python3, which has Tk and Pillow) watches the
device live in a window on an Xvfb of its own: the gadget plays the sample,
waits for DIR/go, and plays it again (DIR/sent, DIR/sent2)."""
import os
import re
import signal
import subprocess
import sys
import time

from vm_main import find_device
from xwindow import SHOWN, Lines, differing, start_xvfb, stop_xvfb, wait_picture


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def wait_file(path, timeout):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        check(time.monotonic() < deadline, 'no %s after %ds' % (path, timeout))
        time.sleep(0.05)


# vidtool's main() as the command runs it, but the process stays until its
# standard input closes: what it left claimed can be seen while it lives.
HOLD = ('import sys; sys.path.insert(0, %r); import vidtool\n'
        'rc = vidtool.main(sys.argv[1:])\n'
        'print("returned %%d" %% rc); sys.stdout.flush()\n'
        'sys.stdin.read(); sys.exit(rc)\n')
RETURNED = re.compile(r'^returned (\d+)$')


def driver(intf):
    """The driver bound to the interface (usbfs while a program has it
    claimed), or None."""
    try:
        return os.path.basename(os.readlink(os.path.join(intf, 'driver')))
    except FileNotFoundError:
        return None


def holds(pid, node):
    """Whether process pid has node open."""
    fds = '/proc/%d/fd' % pid
    return any(os.readlink(os.path.join(fds, fd)) == node for fd in os.listdir(fds))


def view(run, finish, node, ep, directory, python, src, env, length, pictures):
    """view --device at each (scale, picture): once the whole sample was
    sent, the window's picture must be the expected one; SIGINT (scale 1)
    or SIGTERM ends it with status 0, nothing on standard error, the reads
    detached and the interface free while the process still lives."""
    found = find_device()
    check(found is not None and found[0] == node, 'the device is not %s: %s' % (node, found))
    intf = found[1]
    xvfb, display = start_xvfb()
    check(xvfb is not None, display)
    proc = lines = None
    said = False   # the view's output already shown
    try:
        env = dict(env, DISPLAY=display)
        for (scale, want), sig, go, sent in zip(pictures, (signal.SIGINT, signal.SIGTERM),
                                                (None, 'go'), ('sent', 'sent2')):
            t0 = time.monotonic()
            proc = subprocess.Popen([python, '-c', HOLD % os.path.join(src, 'tools'), 'view',
                                     '--device', node, '--endpoint', ep, '--size', '800x600',
                                     '--scale', str(scale)],
                                    env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, universal_newlines=True)
            lines = Lines(proc.stdout)
            m = lines.wait_for(SHOWN, 60)
            check(m is not None, 'scale %s: no window' % scale)
            w, h, x, y = (int(v) for v in m.groups()[:4])
            check((w, h) == (int(800 * scale), int(600 * scale)), 'picture %dx%d' % (w, h))
            check(driver(intf) == 'usbfs', 'the interface is not claimed: %s' % driver(intf))
            if go:
                open(os.path.join(directory, go), 'w').close()
            wait_file(os.path.join(directory, sent), 60)
            got = wait_picture(display, (x, y, w, h), want, 60)
            check(got == want, 'scale %s: %s' % (scale, differing(got, want)))
            drawn = time.monotonic() - t0
            proc.send_signal(sig)
            m = lines.wait_for(RETURNED, 30)
            check(m is not None and m.group(1) == '0', 'scale %s: view did not return 0 after '
                  'signal %d' % (scale, sig))
            with lines.cond:
                out = ''.join(line for line in lines.lines if line)
            sys.stdout.write(''.join('  vidtool: ' + line + '\n' for line in out.splitlines()))
            said = True
            check(driver(intf) is None, 'the interface is still claimed: %s' % driver(intf))
            check(not holds(proc.pid, node), 'the node is still open')
            # Another program can claim it while this one lives (and finds
            # nothing left to read).
            after = os.path.join(directory, 'after-%s.stream' % scale)
            rc, err = finish(run('record', '--device', node, '--endpoint', ep, '--seconds', '1', after))
            check(rc == 0, 'record after view exited %d: %s' % (rc, err))
            check(os.path.getsize(after) == 0, 'view left %d bytes unread' % os.path.getsize(after))
            proc.stdin.close()
            try:
                rc = proc.wait(20)
            except subprocess.TimeoutExpired:
                raise AssertionError('scale %s: view did not exit within 20 s of its standard '
                                     'input closing' % scale)
            err = proc.stderr.read()  # it has exited: the pipe ends
            check(rc == 0 and err == '', 'view exited %d: %r' % (rc, err))
            for needed in ('stream        %d bytes' % length, 'incomplete    0 chunks',
                           'closed        before the end'):
                check(needed in out, 'view did not say %r' % needed)
            print('OK view at scale %s showed the sample (%.1fs), ended by signal %d, '
                  'the interface released' % (scale, drawn, sig))
            proc, said = None, False
    finally:
        if proc is not None:
            # A failed check: what the view said, once it is gone.
            proc.kill()
            proc.wait()
            rest = ('' if said else lines.text()) + proc.stderr.read()
            sys.stdout.write(''.join('  vidtool: ' + line + '\n' for line in rest.splitlines()))
        stop_xvfb(xvfb)


def main():
    name, node, ep, directory, data, src, build, python = sys.argv[1:9]
    # The command as users run it, under this interpreter.
    vidtool = [python, os.path.join(src, 'vidtool')]
    env = dict(os.environ, TILESTREAM_BUILD=build)
    bits = int(subprocess.check_output([python, '-c', 'import struct; print(8 * struct.calcsize("P"))']))
    print('OK vidtool runs under a %d-bit interpreter' % bits)
    with open(os.path.join(data, 'record.stream'), 'rb') as f:
        stream = f.read()
    with open(os.path.join(data, 'record-half.len')) as f:
        half = int(f.read())

    def run(*args, **kw):
        return subprocess.Popen(vidtool + list(args), env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, universal_newlines=True, **kw)

    def finish(proc, timeout=90):
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            sys.stdout.write(''.join('  vidtool: ' + line + '\n' for line in (out + err).splitlines()))
            raise AssertionError('%s did not end within %d s' % (' '.join(proc.args[1:]), timeout))
        sys.stdout.write(''.join('  vidtool: ' + line + '\n' for line in (out + err).splitlines()))
        return proc.returncode, err

    def replayed(path, scale=1):
        if bits == 32:
            rgb = path + '.rgb'
            code = ('import sys; sys.path.insert(0, %r); import vidtool\n'
                    'with open(%r, "rb") as f: data = f.read()\n'
                    'with open(%r, "wb") as f: f.write(vidtool.replay(data, (800, 600))[0])\n'
                    % (os.path.join(src, 'tools'), path, rgb))
            proc = subprocess.run([python, '-c', code], env=env, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=120)
            check(proc.returncode == 0, 'replay of %s failed: %s' % (path, proc.stderr))
            with open(rgb, 'rb') as f:
                return f.read()
        from PIL import Image
        png = os.path.join(directory, '%s-%s.png' % (os.path.basename(path), scale))
        rc, err = finish(run('replay', path, png, '--size', '800x600', '--scale', str(scale)))
        check(rc == 0, 'replay of %s failed: %s' % (path, err))
        with Image.open(png) as im:
            return im.convert('RGB').tobytes()

    out = os.path.join(directory, 'out.stream')
    if name == 'record':
        # A missing endpoint first: one clear line, nothing recorded.
        rc, err = finish(run('record', '--device', node, '--endpoint', '0x83', out))
        check(rc == 1 and 'no bulk-IN endpoint 0x83' in err, 'missing endpoint: %d %r' % (rc, err))
        # The whole sample, stopped by --seconds.
        rc, err = finish(run('record', '--device', node, '--endpoint', ep, '--seconds', '10', out))
        check(rc == 0, 'record exited %d: %s' % (rc, err))
        got = open(out, 'rb').read()
        check(got == stream, 'recorded %d bytes, not the %d sent' % (len(got), len(stream)))
        with open(os.path.join(data, 'record.picture'), 'rb') as f:
            check(replayed(out) == f.read(), 'the replayed recording is not the sample picture')
        print('OK recorded the %d-byte sample byte for byte; its replay is the sample' % len(got))
    elif name == 'record-cut':
        proc = run('record', '--device', node, '--endpoint', ep, out)
        wait_file(os.path.join(directory, 'sent'), 60)
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        rc, err = finish(proc)
        check(rc == 0, 'record after SIGINT exited %d: %s' % (rc, err))
        got = open(out, 'rb').read()
        check(got == stream[:half], 'recorded %d bytes, not the first %d' % (len(got), half))
        replayed(out)
        print('OK SIGINT kept the %d bytes sent, a replayable prefix' % len(got))
    elif name == 'record-full':
        small = os.path.join(directory, 'small')
        os.makedirs(small)
        subprocess.check_call(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', small])
        try:
            path = os.path.join(small, 'out.stream')
            rc, err = finish(run('record', '--device', node, '--endpoint', ep, '--seconds', '25', path))
            check(rc == 1 and 'disk full' in err, 'full disk: exit %d, %r' % (rc, err))
            got = open(path, 'rb').read()
            check(0 < len(got) < len(stream) and stream.startswith(got),
                  'kept %d bytes, not a prefix of the stream' % len(got))
            print('OK a full disk kept the first %d bytes' % len(got))
        finally:
            subprocess.call(['umount', small])
    elif name == 'view':
        with open(os.path.join(data, 'record.picture'), 'rb') as f:
            pictures = [(1, f.read())]
        pictures.append((0.5, replayed(os.path.join(data, 'record.stream'), 0.5)))
        view(run, finish, node, ep, directory, python, src, env, len(stream), pictures)
    else:
        raise SystemExit('unknown scenario ' + name)
    print('OK done')


if __name__ == '__main__':
    main()
