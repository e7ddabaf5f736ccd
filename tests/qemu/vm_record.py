"""vidtool record against the real kernel, run inside the test VM by
Debian's python3:

    vm_record.py SCENARIO NODE ENDPOINT DIR DATA SRC BUILD PYTHON

vidtool runs under PYTHON with BUILD's modules: Debian's python3, or a
32-bit interpreter (the application's ABI), which records through the
kernel's 32-bit compatibility path. A 64-bit recording is replayed to a PNG
with vidtool replay; a 32-bit one (no Pillow there) through vidtool's
replay function in that interpreter, its RGB bytes compared directly.

The gadget plays DATA/record-all.rec (the bundled sample stream, one
record per chunk) or DATA/record-half.rec (its first half) and touches
DIR/sent when its last write was taken. Prints "OK ..." lines; a failed
check raises, so the exit status is the verdict."""
import os
import signal
import subprocess
import sys
import time



def check(cond, what):
    if not cond:
        raise AssertionError(what)


def wait_file(path, timeout):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        check(time.monotonic() < deadline, 'no %s after %ds' % (path, timeout))
        time.sleep(0.05)


def main():
    name, node, ep, directory, data, src, build, python = sys.argv[1:9]
    vidtool = [python, os.path.join(src, 'tools', 'vidtool.py')]
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
        out, err = proc.communicate(timeout=timeout)
        sys.stdout.write(''.join('  vidtool: ' + line + '\n' for line in (out + err).splitlines()))
        return proc.returncode, err

    def replayed(path):
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
        png = path + '.png'
        rc, err = finish(run('replay', path, png, '--size', '800x600'))
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
    else:
        raise SystemExit('unknown scenario ' + name)
    print('OK done')


if __name__ == '__main__':
    main()
