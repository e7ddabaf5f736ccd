"""Runs the bulkvideo scenarios inside the test VM (Debian's python3,
chrooted into the host's root). For each scenario it starts the gadget
program with the scenario's script, binds the gadget to the dummy UDC, waits
for the host side to enumerate it, runs vm_client.py under the scenario's
interpreter with a timeout, and prints one "TSQ PASS" or "TSQ FAIL" line.
The gadget's and the client's output follow, indented."""
import argparse
import errno
import glob
import os
import shutil
import signal
import subprocess
import sys
import time

from vm_usb import find_device

UDC = 'dummy_udc.0'
WORK = '/run/tsq'  # a tmpfs of the VM's own

# Seconds for a scenario's client, where not 150.
TIMEOUTS = {'view': 300, 'load': 300, 'loop': 300, 'faults': 300}

# The load and fault scenarios (vm_load.py): seconds and bytes of the load,
# seconds of the display loop, fault cycles and the bytes read before each
# fault. The test command's short run checks integrity; the full one is the
# sustained load (TILESTREAM_LOAD_FULL=1).
LOAD = {'short': dict(seconds=3, bytes=32 << 20, loop=4, cycles=3, chunk=1 << 20),
        'full': dict(seconds=30, bytes=256 << 20, loop=30, cycles=5, chunk=8 << 20)}
LOAD_SCENARIOS = ('load', 'loop', 'faults')

# The picture of the end-to-end scenarios.
PICTURE = (480, 320, 7)


def log(*parts):
    print(*parts, flush=True)


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return ''


def wait_for(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise RuntimeError('timed out waiting for ' + what)


class Gadget:
    def __init__(self, opts, name, script):
        self.opts = opts
        self.logpath = os.path.join(WORK, name + '.gadget')
        self.out = open(self.logpath, 'w')
        self.proc = subprocess.Popen([opts.gadget, opts.ffs, script], stdout=self.out,
                                     stderr=subprocess.STDOUT)

    def start(self):
        opts = self.opts
        wait_for('the gadget program', lambda: 'GADGET ready' in self.output() or
                 self.proc.poll() is not None, 10)
        if self.proc.poll() is not None:
            raise RuntimeError('the gadget program exited: ' + self.output())
        with open(os.path.join(opts.config, 'UDC'), 'w') as f:
            f.write(UDC)
        self.node, intf = wait_for('enumeration', find_device, 20)
        eps = [os.path.basename(p)[3:] for p in glob.glob(intf + '/ep_*')]
        ins = [e for e in eps if int(e, 16) & 0x80]
        if len(ins) != 1:
            raise RuntimeError('endpoints of the interface: %s' % eps)
        self.ep = '0x' + ins[0]

    def output(self):
        return read(self.logpath)

    def stop(self):
        try:
            with open(os.path.join(self.opts.config, 'UDC'), 'w') as f:
                f.write('\n')
        except OSError as e:
            if e.errno not in (errno.ENODEV, errno.EBUSY, errno.EINVAL):
                raise
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        wait_for('the device to go', lambda: find_device() is None, 10)


def client(opts, py, args, timeout):
    major = '2' if py == opts.py2 else '3'
    env = dict(os.environ,
               PYTHONPATH=':'.join([os.path.join(opts.build, 'python' + major),
                                    os.path.join(opts.build, 'usbconstgen'),
                                    os.path.join(opts.src, 'tests', 'python')]),
               PYTHONUNBUFFERED='1')
    if args[0] in LOAD_SCENARIOS:
        cmd = [py, os.path.join(opts.src, 'tests', 'qemu', 'vm_load.py')] + args
    elif args[0].startswith(('record', 'view')):
        # The vidtool scenarios have their own driver (this interpreter, with
        # Pillow), which runs vidtool under the client's interpreter.
        cmd = [sys.executable, os.path.join(opts.src, 'tests', 'qemu', 'vm_record.py')] + args + [py]
    else:
        cmd = [py, os.path.join(opts.src, 'tests', 'qemu', 'vm_client.py')] + args
    try:
        p = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=timeout)
        return p.returncode, p.stdout.decode(errors='replace'), p.stderr.decode(errors='replace')
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b'').decode(errors='replace')
        err = (e.stderr or b'').decode(errors='replace')
        return 'timeout', out, err


def count_padding(chunk):
    """Padding markers in a chunk, found by walking its messages."""
    pos = count = 0
    while pos + 4 <= len(chunk):
        if chunk[pos:pos + 4] == b'\xff\xff\xff\xff':
            count += 1
            pos += 512 - pos % 512
        else:
            pos += 4 if chunk[pos + 3] & 0x40 else 516
    return count


def prepare(data, src):
    """Run on the host before boot (the VM's processor is emulated and slow):
    the picture as the adapter's stream, one record per device write, and
    the frame it must decode to."""
    sys.path.insert(0, os.path.join(src, 'tests', 'python'))
    import streamgen
    width, height, seed = PICTURE
    rows = streamgen.sample_picture(width, height, seed)
    msgs = streamgen.picture_messages(lambda x, y: rows[y][x], (width + 15) // 16,
                                      (height + 15) // 16)
    chunks = streamgen.adapter_chunks(msgs)
    writes = streamgen.usb_writes(chunks)
    writes.insert(len(writes) // 2, b'')  # a lone zero-length transfer mid-stream
    os.makedirs(data, exist_ok=True)
    streamgen.write_records(os.path.join(data, 'e2e.rec'), writes)
    with open(os.path.join(data, 'e2e.frame'), 'wb') as f:
        f.write(streamgen.expected_frame(rows))
    total = sum(len(w) for w in writes)
    paddings = sum(count_padding(c) for c in chunks)
    with open(os.path.join(data, 'e2e.args'), 'w') as f:
        f.write('%d %d %d %d\n' % (width, height, total, paddings))

    # vidtool record: the bundled sample stream, one record per chunk as the
    # encoder made it, all of it and its first half; the picture its replay
    # must give (the sample quantised to 5-6-5).
    sys.path.insert(0, os.path.join(src, 'tools'))
    import vidtool
    picture = vidtool.read_picture(os.path.join(src, 'samples', 'desktop.png'))
    chunks = vidtool.encode(picture)[0]
    with open(os.path.join(src, 'samples', 'desktop.stream'), 'rb') as f:
        if b''.join(chunks) != f.read():
            raise SystemExit('samples/desktop.stream is not what vidtool encodes of desktop.png')
    half = chunks[:len(chunks) // 2]
    streamgen.write_records(os.path.join(data, 'record-all.rec'), streamgen.usb_writes(chunks))
    streamgen.write_records(os.path.join(data, 'record-half.rec'), streamgen.usb_writes(half))
    with open(os.path.join(data, 'record.stream'), 'wb') as f:
        f.write(b''.join(chunks))
    with open(os.path.join(data, 'record-half.len'), 'w') as f:
        f.write('%d\n' % sum(len(c) for c in half))
    # The display loop under load: the sample's chunks, passes of it.
    with open(os.path.join(data, 'loop.args'), 'w') as f:
        f.write('%d %d %d %d %d\n' % (picture[0], picture[1], len(chunks),
                                       sum(len(c) for c in chunks),
                                       sum(count_padding(c) for c in chunks)))
    from PIL import Image
    with Image.open(os.path.join(src, 'samples', 'desktop.png')) as im:
        rgb = im.convert('RGB').tobytes()
    with open(os.path.join(data, 'record.picture'), 'wb') as f:
        f.write(bytes(v & m for v, m in zip(rgb, [0xF8, 0xFC, 0xF8] * (len(rgb) // 3))))


# name: (script, extra client arguments, checks on the client's stderr)
def scenarios(opts):
    udc = os.path.join(opts.config, 'UDC')
    e2e_args = read(os.path.join(opts.data, 'e2e.args')).split() + [
        os.path.join(opts.data, 'e2e.frame')]
    table = [
        ('data', '512 z 7000 z 16384 100 await:{dir}/go 1234', [],
         ['SUBMITURB: No such file or directory']),
        ('ring', '100*9 touch:{dir}/nine 100 touch:{dir}/ten', [], []),
        ('thread', 'await:{dir}/go 1234', [], []),
        ('eintr', 'await:{dir}/go w700 2000', [], []),
        ('stall', '1000 stall await:{dir}/go 777', [], []),
        ('unplug', '16384*5 await:{dir}/never', [udc], ['SUBMITURB: No such device']),
        ('e2e', 'file:' + os.path.join(opts.data, 'e2e.rec'), e2e_args, []),
    ]
    load = LOAD[opts.load]
    table += [
        ('load', 'seq:0', [load['seconds'], load['bytes']], []),
        ('loop', 'loop:%s:0' % os.path.join(opts.data, 'record-all.rec'),
         [load['loop'], os.path.join(opts.data, 'record-all.rec'), os.path.join(opts.data, 'loop.args'),
          os.path.join(opts.data, 'record.picture'), opts.src], []),
        ('faults', ' '.join('seq:%d stall await:{dir}/clear%d' % (load['chunk'], i + 1)
                            for i in range(load['cycles'])) + ' seq:0',
         [load['cycles'], load['chunk'], udc, UDC], []),
    ]
    # Each interpreter given (a '-' leaves it out); a 32-bit one, which goes
    # through the kernel's compatibility path for usbdevfs, is labelled so.
    clients = []
    for major, py in (('2', opts.py2), ('3', opts.py3)):
        if py != '-':
            clients.append((major, py, '.i386' if pointer_bits(py) == 32 else ''))
    out = []
    for name, script, args, stderr_needs in table:
        for major, py, abi in clients:
            out.append((name + '-py' + major + abi, name, py, script, args, stderr_needs))
    # vidtool record (Python 3 only), driven by vm_record.py.
    record_args = [opts.data, opts.src, opts.build]
    rec = lambda part: 'file:' + os.path.join(opts.data, 'record-%s.rec' % part)
    for major, py, abi in clients:
        if major != '3':
            continue
        for name, script in (('record', rec('all') + ' await:{dir}/never'),
                             ('record-cut', rec('half') + ' touch:{dir}/sent await:{dir}/never'),
                             ('record-full', rec('all') + ' await:{dir}/never')):
            out.append((name + abi.replace('.', '-'), name, py, script, record_args, []))
        # vidtool view needs Tk and Pillow, which only the 64-bit python3
        # has: a 32-bit client has no view scenario.
        if not abi:
            out.append(('view', 'view', py, rec('all') + ' touch:{dir}/sent await:{dir}/go ' +
                        rec('all') + ' touch:{dir}/sent2 await:{dir}/never', record_args, []))
    return out


def pointer_bits(py):
    out = subprocess.check_output([py, '-c', 'import struct; print(8 * struct.calcsize("P"))'])
    return int(out)


def run_one(opts, label, name, py, script, args, stderr_needs):
    directory = os.path.join(WORK, label)
    os.makedirs(directory)
    t0 = time.monotonic()
    times = [t0]
    gadget = None
    try:
        gadget = Gadget(opts, label, script.format(dir=directory))
        gadget.start()
        times.append(time.monotonic())
        rc, out, err = client(opts, py, [name, gadget.node, gadget.ep, directory] + [str(a) for a in args],
                              timeout=TIMEOUTS.get(name, 150))
        times.append(time.monotonic())
    except Exception as e:  # noqa: BLE001 - the setup failure is the verdict
        rc, out, err = 'setup', '', '%s: %s' % (type(e).__name__, e)
    finally:
        if gadget:
            try:
                gadget.stop()
            except Exception as e:  # noqa: BLE001
                err += '\nteardown: %s' % e
                rc = rc or 'teardown'
    missing = [s for s in stderr_needs if s not in err]
    ok = rc == 0 and not missing
    verdict = 'PASS' if ok else 'FAIL'
    why = '' if ok else ' (%s)' % (('exit %s' % rc) if rc != 0 else 'stderr lacks %s' % missing)
    times.append(time.monotonic())
    steps = ' (%s)' % ', '.join('%s %.1fs' % (n, b - a) for n, a, b in
                                zip(('setup', 'client', 'teardown'), times, times[1:]))
    log('TSQ %s %s %.1fs%s%s' % (verdict, label, times[-1] - t0, why, steps))
    for line in out.splitlines():
        log('    ' + line)
    last, repeats = None, 0
    for line in err.splitlines() + [None]:
        if line == last:
            repeats += 1
            continue
        if repeats:
            log('    stderr: (%d more times)' % repeats)
        if line is not None:
            log('    stderr: ' + line)
        last, repeats = line, 0
    if gadget:
        for line in gadget.output().splitlines():
            log('    ' + line)
    return ok


def main():
    if sys.argv[1:2] == ['--prepare']:
        prepare(sys.argv[2], sys.argv[3])
        return 0
    ap = argparse.ArgumentParser()
    for a in ('src', 'build', 'data', 'py2', 'py3', 'gadget', 'ffs', 'config'):
        ap.add_argument('--' + a, required=True)
    ap.add_argument('--load', choices=sorted(LOAD), default='short')
    ap.add_argument('only', nargs='*')
    opts = ap.parse_args()
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    table = [s for s in scenarios(opts) if not opts.only or s[0] in opts.only or s[1] in opts.only]
    log('TSQ scenarios ' + ' '.join(s[0] for s in table))
    log('TSQ ready at %ss of uptime' % read('/proc/uptime').split()[0])
    failed = sum(not run_one(opts, *s) for s in table)
    log('TSQ summary passed=%d failed=%d' % (len(table) - failed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
