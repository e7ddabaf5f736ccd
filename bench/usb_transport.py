"""The USB transport benchmark: how fast each way of reading the adapter's
bulk-IN endpoint takes a stream off the bus, in the real-kernel bed (the
test VM of tests/qemu: Debian's kernel under qemu, dummy_hcd, our
FunctionFS gadget streaming as fast as the host takes it, with eight 64 KiB
requests queued by asynchronous I/O).

    /usr/bin/python3 bench/usb_transport.py [--rounds N] [--seconds S] [BUILD ...]

BUILD are build trees (default build/ and build-i386/, those that exist);
every CPython client the real-kernel bed runs from them (python2/ and
python3/ with a bulkvideo module, run by the tree's PYTHON<id>_EXECUTABLE)
reads through bulkvideo. Beside them, in the same VM and the same rounds:

    libusb async       C, libusb-1.0: nine 16 KiB transfers in flight
    libusb sync        C, libusb-1.0: one 16 KiB libusb_bulk_transfer at a time
    pyusb              Debian's python3-usb: read(0x81, 16384) in a loop
    gadget ceiling     C, usbdevfs: 32 requests of 16 KiB queued, each requeued
                       the moment it is reaped (a reader that never makes the
                       device wait on the application)
    ring in C          C, usbdevfs: bulkvideo's ring (nine 16 KiB requests),
                       without Python

Each round runs every reader once, for S seconds (default 3) after a second
of warm-up, in an order that rotates from round to round; N rounds (default
5). Then the gadget with one blocking write at a time instead of queued
requests, under the ceiling reader and libusb async, N rounds. Prints the
table: MB/s (10^6 bytes a second; median of the rounds, lowest and highest),
the ratio to libusb async (median of the per-round ratios) and to 53.248
MB/s, the ceiling of USB 2.0 high-speed bulk; with the VM kernel's version,
HZ and the kind of dummy_hcd's timer.

Needs the tree's C readers (build/bench/usb_reader: libusb-1.0-0-dev) and
python3-usb (scripts/setup.sh installs both), qemu-system-x86 and the bed's
kernel (downloaded once, as for ctest -R qemu.kernel). TSQ_WORK chooses the
work directory (default BUILD/bench/usb_transport), TSQ_SMP the VM's CPUs.

In the VM this script runs again with --in-vm (see main)."""
from __future__ import division, print_function

import argparse
import os
import re
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
BUS_CEILING = 53.248  # MB/s: 13 packets of 512 bytes per 125 us microframe
CEILING_QUEUE = 32
sys.path.insert(0, os.path.join(TOP, 'tests', 'python'))
import buildenv  # noqa: E402
GADGET = 'seq:0'
GADGET_BLOCKING = 'aio:0:65536 seq:0'


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


# ---- in the VM ---------------------------------------------------------------------

def in_vm(argv):
    """Runs the rounds in the VM (Debian's python3, chrooted into the host's
    root) and prints one "TSB" line per result."""
    sys.path.insert(0, os.path.join(TOP, 'tests', 'qemu'))
    import vm_main
    ap = argparse.ArgumentParser()
    for a in ('ffs', 'config', 'gadget', 'reader'):
        ap.add_argument('--' + a, required=True)
    ap.add_argument('--rounds', type=int, required=True)
    ap.add_argument('--seconds', type=float, required=True)
    ap.add_argument('--warmup', type=float, required=True)
    ap.add_argument('--client', action='append', default=[],
                    help='LABEL=PYTHON=PYTHONPATH (the label has no blanks)')
    ap.add_argument('--profile', action='store_true')
    opts = ap.parse_args(argv)

    def say(*parts):
        print('TSB', *parts, flush=True)

    say('kernel', os.uname().release)
    os.makedirs(vm_main.WORK, exist_ok=True)
    c_readers = [('libusb-async', ['libusb-async']), ('libusb-sync', ['libusb-sync']),
                 ('ceiling', ['usbfs:%d' % CEILING_QUEUE]), ('ring-c', ['usbfs:9'])]
    readers = [(name, [opts.reader] + args, None) for name, args in c_readers]
    readers.append(('pyusb', ['/usr/bin/python3', os.path.join(HERE, 'usb_read.py'), 'pyusb'], None))
    for client in opts.client:
        label, python, path = client.split('=', 2)
        readers.append(('bulkvideo:' + label, [python, os.path.join(HERE, 'usb_read.py'), 'bulkvideo'],
                        path))

    def run(name, cmd, path, gadget, rnd, profile=None):
        env = dict(os.environ, PYTHONUNBUFFERED='1')
        if path:
            env['PYTHONPATH'] = path
        args = cmd + [gadget.node, gadget.ep, str(opts.seconds), str(opts.warmup)]
        p = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        perf = stat = None
        if profile:
            # The whole machine while the reader reads (its start, over 9p,
            # left out): perf's software clock, as TCG has no counters; and
            # the reader's own processor time, page faults and context
            # switches, counted (samples of an emulated machine's clock
            # fall where its timer interrupts are served, which is not
            # evenly).
            p.stdout.readline()
            span = str(opts.warmup + opts.seconds)
            perf = subprocess.Popen(['perf', 'record', '-q', '-N', '-a', '-F', '997', '-o', profile,
                                     '--', 'sleep', span],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            stat = subprocess.Popen(['perf', 'stat', '-x', ',', '-e',
                                     'task-clock,page-faults,context-switches,cpu-migrations',
                                     '-p', str(p.pid), '--', 'sleep', span],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            out, err = p.communicate(timeout=opts.seconds + opts.warmup + 120)
            out, err, rc = out.decode(errors='replace'), err.decode(errors='replace'), p.returncode
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            out, err, rc = '', 'timed out', 'timeout'
        if perf:
            perr = perf.communicate(timeout=120)[1].decode(errors='replace')
            if perf.returncode != 0:
                say('failed', 'profile', rnd, 'perf record: %s' % perr.strip().replace('\n', ' | ')[-300:])
            counts = stat.communicate(timeout=120)[1].decode(errors='replace')
            for line in counts.splitlines():
                fields = line.split(',')
                if len(fields) > 2 and fields[2] and fields[0].replace('.', '').isdigit():
                    say('count', name.split('@')[0], fields[2], fields[0])
        m = re.search(r'^READ reader=\S+ bytes=(\d+) seconds=([\d.]+)(.*)$', out, re.M)
        if rc != 0 or not m:
            say('failed', name, rnd, 'exit %s: %s' % (rc, (err.strip() or out.strip()).replace('\n', ' | ')[-400:]))
            return
        say('result', name, rnd, '%.6f' % (int(m.group(1)) / float(m.group(2)) / 1e6), m.group(3).strip())

    def session(script, readers, tag):
        gadget = vm_main.Gadget(opts, 'bench-' + tag, script)
        try:
            gadget.start()
            for rnd in range(opts.rounds):
                k = rnd % len(readers)
                for name, cmd, path in readers[k:] + readers[:k]:
                    run(name if tag == 'aio' else name + '@blocking', cmd, path, gadget, rnd)
        finally:
            gadget.stop()
            for line in gadget.output().splitlines():
                say('gadget', tag, line)

    if opts.profile:
        profiled = [r for r in readers if r[0] in ('libusb-async', 'ring-c') or r[0].startswith('bulkvideo:')]
        gadget = vm_main.Gadget(opts, 'bench-profile', GADGET)
        try:
            gadget.start()
            for name, cmd, path in profiled:
                data = os.path.join(vm_main.WORK, 'perf-%s.data' % name.replace(':', '-'))
                run(name + '@profile', cmd, path, gadget, 0, data)
                for sort, limit in (('comm,dso', 1), ('comm,sym', 1)):
                    rep = subprocess.run(['perf', 'report', '-i', data, '--stdio', '--no-children', '-q', '-n',
                                          '--sort', sort, '--percent-limit', str(limit)],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
                    for line in rep.stdout.decode(errors='replace').splitlines():
                        if line.strip():
                            say('profile', name, sort, line.rstrip())
        finally:
            gadget.stop()
    else:
        session(GADGET, readers, 'aio')
        session(GADGET_BLOCKING, [r for r in readers if r[0] in ('ceiling', 'libusb-async')], 'blocking')
    say('done')
    return 0


# ---- on the host ---------------------------------------------------------------------

def clients(build):
    """(label, interpreter, PYTHONPATH) of each bed client of the tree, as
    its tilestream.env names them: an interpreter whose modules folder holds
    a bulkvideo module."""
    found = []
    values = buildenv.read(build) or {}
    if values.get('TILESTREAM_ABI') not in ('x86-64', 'i386'):
        return found
    for python in buildenv.interpreters(values):
        if python['id'] not in ('2', '3') or not python['executable']:
            continue
        folder = python['modules']
        if not os.path.isdir(folder) or not any(f.startswith('bulkvideo') for f in os.listdir(folder)):
            continue
        path = ':'.join([folder, os.path.join(build, 'usbconstgen')])
        label = '%s:%s' % (os.path.basename(os.path.normpath(build)), python['id'])
        found.append((label, os.path.abspath(python['executable']), path))
    return found


def interpreter_homes(exe):
    """Where the interpreter keeps its library and standard library, which
    the VM must see too (an unpacked interpreter may live in a cache under
    /tmp); nothing where it cannot say."""
    try:
        out = subprocess.check_output([exe, '-c', 'import sys; print(sys.prefix + " " + sys.exec_prefix)'],
                                      stderr=subprocess.DEVNULL, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return []
    return out.decode().split()


def kernel_info(work):
    info = {}
    try:
        with open(os.path.join(work, 'kernel.info')) as f:
            for line in f:
                key, _, value = line.strip().partition(' ')
                info[key] = value
    except IOError:
        pass
    return info


NAMES = {
    'libusb-async': 'libusb async, 9 x 16 KiB (C)',
    'libusb-sync': 'libusb sync, 1 x 16 KiB (C)',
    'pyusb': 'pyusb read(0x81, 16384)',
    'ceiling': 'gadget ceiling, %d x 16 KiB (C, usbfs)' % CEILING_QUEUE,
    'ring-c': 'the ring in C, 9 x 16 KiB (usbfs)',
}


def table(results, about):
    """The printed table from {reader: {round: MB/s}}."""
    lines = []

    def row(name, label):
        got = results.get(name, {})
        if not got:
            lines.append('| %s | failed | | | |' % label)
            return
        mbs = list(got.values())
        base = results.get('libusb-async' if '@' not in name else 'libusb-async@blocking', {})
        ratios = [got[r] / base[r] for r in got if base.get(r)]
        lines.append('| %s | %.2f (%.2f-%.2f) | %s | %.3f | %d |' % (
            label, median(mbs), min(mbs), max(mbs),
            '%.2f' % median(ratios) if ratios else '-', median(mbs) / BUS_CEILING, len(mbs)))

    lines.append('| reader | MB/s, median (lo-hi) | x libusb async | x 53.248 MB/s | rounds |')
    lines.append('|---|---|---|---|---|')
    for name in ('libusb-async', 'libusb-sync', 'pyusb', 'ceiling', 'ring-c'):
        row(name, NAMES[name])
    for name in sorted(n for n in results if n.startswith('bulkvideo:') and '@' not in n):
        row(name, 'bulkvideo, %s' % about.get(name, name.split(':', 1)[1]))
    for name in ('libusb-async', 'ceiling'):
        row(name + '@blocking', NAMES[name] + ', gadget writing one at a time')
    lines.append('(the last two rows: their own rounds, after the others; their ratio is to the '
                 'first of them)')
    return '\n'.join(lines)


def usage_table(results, extra, about, seconds):
    """Where the time went, per reader: its own processor time per MB and
    the VM's processors (medians of the rounds)."""
    lines = ['| reader | reader CPU, ms per MB | VM busy | in programs | in the kernel | '
             'in interrupts and softirqs | timer interrupts a second |', '|---|---|---|---|---|---|---|']
    names = [n for n in ('libusb-async', 'libusb-sync', 'pyusb', 'ceiling', 'ring-c')] + \
        sorted(n for n in results if n.startswith('bulkvideo:') and '@' not in n) + \
        ['libusb-async@blocking', 'ceiling@blocking']
    for name in names:
        rounds = extra.get(name, {})
        if not rounds:
            continue
        label = NAMES.get(name.split('@')[0]) or 'bulkvideo, %s' % about.get(name, name)
        if '@' in name:
            label += ', gadget writing one at a time'

        def med(key):
            vals = [float(v[key]) for v in rounds.values() if key in v]
            return median(vals) if vals else float('nan')
        per_mb = [float(v['cpu']) * 1e3 / (results[name][r] * seconds)
                  for r, v in rounds.items() if 'cpu' in v and results[name].get(r)]
        lines.append('| %s | %.1f | %.0f%% | %.0f%% | %.0f%% | %.0f%% | %.0f |' % (
            label, median(per_mb) if per_mb else float('nan'), 100 * med('vm_busy'),
            100 * med('vm_user'), 100 * med('vm_system'), 100 * med('vm_softirq'),
            med('vm_timer_irqs') / seconds))
    return '\n'.join(lines)


def main(argv):
    if '--in-vm' in argv:
        return in_vm([a for a in argv if a != '--in-vm'])
    ap = argparse.ArgumentParser(description='The USB transport benchmark (see the top of the file).')
    ap.add_argument('--rounds', type=int, default=5)
    ap.add_argument('--seconds', type=float, default=3.0)
    ap.add_argument('--warmup', type=float, default=1.0)
    ap.add_argument('--profile', action='store_true',
                    help='instead of the table: perf profiles of the whole VM while libusb async, '
                         'the ring in C and bulkvideo from each client read')
    ap.add_argument('builds', nargs='*')
    opts = ap.parse_args(argv)
    builds = opts.builds or [b for b in (os.path.join(TOP, 'build'), os.path.join(TOP, 'build-i386'))
                             if os.path.isdir(b)]
    builds = [os.path.abspath(b) for b in builds]
    if not builds:
        print('usb_transport: no build tree (./scripts/build.sh first)', file=sys.stderr)
        return 1
    main_build = builds[0]
    reader = os.path.join(main_build, 'bench', 'usb_reader')
    gadget = os.path.join(main_build, 'tests', 'qemu', 'ffs_gadget')
    for path, what in ((reader, 'the C readers (libusb-1.0-0-dev: scripts/setup.sh, then build)'),
                       (gadget, 'the test gadget (build the tree)')):
        if not os.access(path, os.X_OK):
            print('usb_transport: %s is missing: %s' % (path, what), file=sys.stderr)
            return 1
    try:
        import usb.core  # noqa: F401 - the VM runs this same python3's pyusb
    except ImportError:
        print('usb_transport: pyusb is missing (python3-usb: scripts/setup.sh)', file=sys.stderr)
        return 1
    found = []
    for build in builds:
        found += clients(build)
    if not found:
        print('usb_transport: no bulkvideo client in %s' % ' '.join(builds), file=sys.stderr)
        return 1

    work = os.path.abspath(os.environ.get('TSQ_WORK') or os.path.join(main_build, 'bench', 'usb_transport'))
    os.makedirs(work, exist_ok=True)
    args = ['--gadget', gadget, '--reader', reader, '--rounds', str(opts.rounds),
            '--seconds', str(opts.seconds), '--warmup', str(opts.warmup)]
    if opts.profile:
        args.append('--profile')
    paths = [TOP, gadget, reader]
    for label, exe, path in found:
        args += ['--client', '%s=%s=%s' % (label, exe, path)]
        paths += [exe] + path.split(':') + interpreter_homes(exe)
    with open(os.path.join(work, 'tsq.conf'), 'w') as f:
        f.write("TSQ_MAIN=%s\nTSQ_ARGS=%s\nTSQ_PATHS=%s\n" % (
            shlex.quote(os.path.join(HERE, 'usb_transport.py')),
            shlex.quote(' '.join(['--in-vm'] + args)), shlex.quote(' '.join(paths))))
    # Each run: the reader's start (a Python start over 9p takes seconds),
    # warm-up and measurement; generously, for a busy host.
    timeout = int(300 + opts.rounds * (5 + len(found) + 2) * (opts.seconds + opts.warmup + 15))
    if opts.profile:
        print('usb_transport: profiles of %d readers in the VM (up to %d s) ...' %
              (2 + len(found), timeout), flush=True)
    else:
        print('usb_transport: %d rounds of %d readers in the VM (up to %d s) ...' %
              (opts.rounds, 5 + len(found), timeout), flush=True)
    t0 = time.time()
    rc = subprocess.call([os.path.join(TOP, 'tests', 'qemu', 'boot_vm.sh'), work],
                         env=dict(os.environ, TSQ_TIMEOUT=str(timeout)))
    with open(os.path.join(work, 'console.log'), errors='replace') as f:
        lines = [l.rstrip('\r\n') for l in f]
    results, extra, about, failures, kernel, gadget_lines, profile, counts = {}, {}, {}, [], None, [], [], {}
    for line in lines:
        parts = line.split(' ', 4)
        if parts[0] != 'TSB' or len(parts) < 2:
            continue
        if parts[1] == 'result':
            name, rnd, mbs = parts[2], int(parts[3]), float(parts[4].split()[0])
            results.setdefault(name, {})[rnd] = mbs
            values = dict(re.findall(r'(\w+)=(\S+)', parts[4]))
            extra.setdefault(name, {})[rnd] = values
            if 'python' in values:
                about[name] = 'Python %s %s' % (values['python'],
                                                'i386' if values.get('bits') == '32' else 'x86-64')
        elif parts[1] == 'failed':
            failures.append(line)
        elif parts[1] == 'kernel':
            kernel = parts[2]
        elif parts[1] == 'gadget' and 'streamed' in line:
            gadget_lines.append(line.split(' ', 3)[3])
        elif parts[1] == 'profile':
            profile.append(line.split(' ', 2)[2])
        elif parts[1] == 'count':
            counts.setdefault(parts[2], {})[parts[3]] = float(parts[4])
    info = kernel_info(work)
    hz = info.get('CONFIG_HZ', '?')
    print('VM kernel %s (%s), HZ=%s, dummy_hcd timer: %s; TCG, %s virtual CPUs; %d rounds of %g s '
          '(after %g s of warm-up); %.0f s in all' % (
              kernel or '?', info.get('package', '?'), hz, info.get('dummy_hcd_timer', '?'),
              os.environ.get('TSQ_SMP', '2'), 1 if opts.profile else opts.rounds, opts.seconds,
              opts.warmup, time.time() - t0))
    with open('/proc/loadavg') as f:
        print('host load average at the end: %s' % ' '.join(f.read().split()[:3]))
    if opts.profile:
        print('The readers themselves, counted over their warm-up and measurement (perf stat):')
        print('| reader | MB/s | processor, ms per MB | page faults per MB | context switches per MB |')
        print('|---|---|---|---|---|')
        for name, c in counts.items():
            mbs = results.get(name + '@profile', {}).get(0)
            if not mbs:
                continue
            mb = mbs * (opts.seconds + opts.warmup)
            print('| %s | %.2f | %.1f | %.1f | %.1f |' % (
                about.get(name + '@profile', NAMES.get(name, name)), mbs, c.get('task-clock', 0) / mb,
                c.get('page-faults', 0) / mb, c.get('context-switches', 0) / mb))
        print()
        # Samples of the software clock at 997 Hz on each processor, over
        # the reader's warm-up and measurement: milliseconds of the VM's
        # processors per MB the reader took.
        print('Profiles: the whole VM (perf, software clock at 997 Hz a processor) while one reader '
              'reads; per line, its share of the samples and milliseconds of processor per MB read')
        last = None
        for line in profile:
            name, sort, rest = line.split(' ', 2)
            mbs = results.get(name + '@profile', {}).get(0)
            if (name, sort) != last:
                print('\n%s (%s MB/s), by %s:' % (about.get(name + '@profile', NAMES.get(name, name)),
                                                  '%.2f' % mbs if mbs else '?', sort.replace(',', ', ')))
                last = (name, sort)
            m = re.match(r'\s*([\d.]+)%\s+(\d+)\s+(.*)$', rest)
            if m and mbs:
                per_mb = int(m.group(2)) / 997.0 * 1e3 / (mbs * (opts.seconds + opts.warmup))
                print('  %6s%%  %7.1f ms/MB  %s' % (m.group(1), per_mb, m.group(3)))
            else:
                print('  ' + rest)
    else:
        print(table(results, about))
        print()
        print(usage_table(results, extra, about, opts.seconds))
    for line in gadget_lines:
        print('gadget: ' + line)
    for line in failures:
        print(line)
    if rc != 0 or failures or 'done' not in ' '.join(l for l in lines if l.startswith('TSB done')):
        print('usb_transport: the VM run failed (qemu exit %d); its console: %s' %
              (rc, os.path.join(work, 'console.log')), file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
