"""bulkvideo under sustained load against the real kernel, run inside the
test VM under CPython 2.7 or 3 (as vm_client.py, whose helpers it uses):

    vm_load.py SCENARIO NODE ENDPOINT DIR [ARGS...]

load SECONDS BYTES
    The gadget streams the numbered stream (its seq: item: the 8 bytes at
    offset 8w hold w, so 512-byte block k starts with 64k) as fast as the
    host takes it; every read is checked block by block until BYTES were
    read or SECONDS passed. The resident size is sampled over the run.
loop SECONDS RECORDS ARGS PICTURE
    The gadget plays the bundled sample's chunks (RECORDS, one transfer
    each) over and over. Half the time the reads alone, then the display
    loop on each read, each phase ending on a whole sample; every read is
    compared with the chunk due, and the display loop's frame, tiles and
    statistics with the sample's (ARGS: width, height, chunks, bytes and
    padding markers per pass; PICTURE: its RGB bytes).
faults CYCLES BYTES UDC UDCNAME
    Faults at full rate, each CYCLES times, after BYTES were read: the
    gadget stalling the endpoint (its script: seq:BYTES stall
    await:DIR/clearN, CYCLES times, then seq:0), detach from another
    thread, a detached handle outliving its descriptor (closed and opened
    again, the same number, a new attachment on it), SIGINT, and unplug
    (UDC written empty, then UDCNAME again).
    Every byte delivered before a fault must be the stream in order, the
    process must not crash or grow, and a new attach must read the stream
    again once the fault is over (after unplug: on the device's new node).

Prints "OK ..." lines; a failed check raises, so the exit status is the
verdict."""
from __future__ import division, print_function

import ctypes
import errno
import fcntl
import gc
import os
import signal
import struct
import sys
import threading
import time

import bulkvideo
from vm_usb import find_device
from vm_client import (PY3, USBDEVFS_CLEAR_HALT, USBDEVFS_RELEASEINTERFACE, check, detach_checks,
                       memory_use, open_device)

BLOCK = 512
WORDS_PER_BLOCK = BLOCK // 8
MB = 1e6


def data_of(buf):
    return buf.tobytes() if PY3 else bytes(buf)


class Numbered(object):
    """Checks reads of the numbered stream: each a whole number of blocks,
    each block whole and the one after the last. After a fault the stream
    may go on further ahead (what was queued is lost), never back:
    resume() allows that gap once."""

    def __init__(self):
        self.next = 0          # the word due next; None: any block ahead of self.floor
        self.floor = -1
        self.bytes = self.reads = self.gaps = 0
        self.sums = {}

    def resume(self):
        if self.next is not None:
            self.floor = self.next - 1
        self.next = None

    def equal(self, buf, w, words):
        if PY3:
            # The stream's words read as one little-endian number are
            # w * (1 + 2^64 + 2^128 ...) + (0 + 1 * 2^64 + 2 * 2^128 ...).
            sums = self.sums.get(words)
            if sums is None:
                ones = sum(1 << (64 * i) for i in range(words))
                sums = self.sums[words] = (ones, sum(i << (64 * i) for i in range(words)))
            return int.from_bytes(buf, 'little') == w * sums[0] + sums[1]
        return bytes(buf) == struct.pack('<%dQ' % words, *xrange(w, w + words))  # noqa: F821

    def take(self, buf):
        n = len(buf)
        check(n % BLOCK == 0, 'read %d of %d bytes: not whole blocks' % (self.reads, n))
        if n == 0:
            self.reads += 1
            return
        w, gap = self.next, 0
        if w is None:
            w = struct.unpack_from('<Q', buf, 0)[0]
            check(w % WORDS_PER_BLOCK == 0 and w > self.floor,
                  'after the fault the stream went on at word %d, the last before it was %d'
                  % (w, self.floor))
            gap = 1
        if not self.equal(buf, w, n // 8):
            raise AssertionError(self.explain(buf, w))
        self.next, self.bytes, self.reads, self.gaps = w + n // 8, self.bytes + n, self.reads + 1, \
            self.gaps + gap

    def explain(self, buf, w):
        data = data_of(buf)
        for i in range(len(data) // BLOCK):
            block = data[i * BLOCK:(i + 1) * BLOCK]
            due = w // WORDS_PER_BLOCK + i
            want = struct.pack('<%dQ' % WORDS_PER_BLOCK, *range(due * WORDS_PER_BLOCK,
                                                                 (due + 1) * WORDS_PER_BLOCK))
            if block == want:
                continue
            first = struct.unpack_from('<Q', block, 0)[0]
            got = first // WORDS_PER_BLOCK
            if first % WORDS_PER_BLOCK or block != struct.pack(
                    '<%dQ' % WORDS_PER_BLOCK, *range(first, first + WORDS_PER_BLOCK)):
                what = 'torn (not one whole block of the stream)'
            elif got > due:
                what = 'blocks %d to %d lost' % (due, got - 1)
            else:
                what = 'block %d again (duplicated or reordered)' % got
            return ('read %d, block %d of it: stream block %d was due, got %s; %d bytes were '
                    'right before it' % (self.reads, i, due, what, self.bytes + i * BLOCK))
        return 'read %d differs, yet every block is right' % self.reads


def descriptors():
    return len(os.listdir('/proc/self/fd'))


LIBC = ctypes.CDLL(None)


def resident():
    """The resident size in kB once freed memory went back to the system:
    what the heap keeps of freed blocks would hide a lost one (a bulkvideo
    instance is ~145 kB), or look like one."""
    gc.collect()
    LIBC.malloc_trim(0)
    return memory_use()


def read_until(handle, numbered, done, deadline, what):
    """Reads and checks until done() or the deadline (a failure)."""
    while not done():
        check(time.time() < deadline, 'timed out %s (%d bytes read)' % (what, numbered.bytes))
        numbered.take(bulkvideo.readVideo(handle))


def read_errors(handle, wanted, numbered=None):
    """The errnos of readVideo once the ring fails, until it says that
    nothing is left queued (ENODATA) or the device is gone (ENODEV). With
    numbered, reads that still deliver (requests that completed before
    the fault) must go on with the stream."""
    codes = []
    while len(codes) < 40 and not (codes and codes[-1] in wanted):
        try:
            buf = bulkvideo.readVideo(handle)
        except (IOError, OSError) as e:
            codes.append(e.errno)
            continue
        if numbered is None:
            raise AssertionError('data after errors %s' % codes)
        numbered.take(buf)
    check(len(codes) < 40, 'reads gave %s' % codes)
    return codes


def names(codes):
    return ','.join(errno.errorcode.get(c, str(c)) for c in codes)


# ---- load ----------------------------------------------------------------------

def scenario_load(fd, ep, directory, args):
    seconds, limit = float(args[0]), int(args[1])
    numbered = Numbered()
    handle = bulkvideo.attach(fd, ep)
    # The first MiB settles what the process allocates once (the view type,
    # the sums above); the resident size is level from there on.
    read_until(handle, numbered, lambda: numbered.bytes >= 1 << 20, time.time() + 60, 'for 1 MiB')
    t0 = time.time()
    start_bytes, start_rss = numbered.bytes, resident()
    samples = [start_rss]
    next_sample = t0 + 0.25
    while numbered.bytes < limit:
        now = time.time()
        if now >= next_sample:
            samples.append(resident())
            next_sample = now + 0.25
            if now - t0 >= seconds:
                break
        numbered.take(bulkvideo.readVideo(handle))
    elapsed = time.time() - t0
    end_rss = resident()
    detach_checks(handle)
    del handle
    rate = (numbered.bytes - start_bytes) / elapsed / MB
    print('OK load: %d bytes (%d blocks) checked in %d reads, every block whole and in order; '
          '%.2f MB/s over %.1fs' % (numbered.bytes, numbered.bytes // BLOCK, numbered.reads, rate,
                                    elapsed))
    print('OK load: resident size %d kB at the start, %d kB at the end, %d kB at most (%d samples)'
          % (start_rss, end_rss, max(samples), len(samples)))
    # A view or an instance lost per read would show within a few hundred
    # reads (a view is ~100 bytes, an instance ~145 kB).
    check(max(samples + [end_rss]) - start_rss <= 64,
          'the resident size grew from %d to %d kB' % (start_rss, max(samples + [end_rss])))


# ---- the display loop under load -------------------------------------------------

def records(path):
    with open(path, 'rb') as f:
        data = f.read()
    out, pos = [], 0
    while pos < len(data):
        (n,) = struct.unpack_from('<I', data, pos)
        out.append(data[pos + 4:pos + 4 + n])
        pos += 4 + n
    return out


def display_functions(src):
    """The application's per-read work: vidtool's sink and display loop
    (the same code vidtool replay and view run, on 2.7 and 3)."""
    sys.path.insert(0, os.path.join(src, 'tools'))
    from vidtool import display
    return display.sink, display.display_loop


def scenario_loop(fd, ep, directory, args):
    import vidframe
    seconds = float(args[0])
    chunks = [r for r in records(args[1]) if r]
    with open(args[2]) as f:
        width, height, nchunks, nbytes, paddings = [int(v) for v in f.read().split()]
    with open(args[3], 'rb') as f:
        picture = f.read()
    src = args[4]
    check(len(chunks) == nchunks and sum(map(len, chunks)) == nbytes, 'the records are not the sample')
    sink, display_loop = display_functions(src)
    grid = ((width + 15) // 16, (height + 15) // 16)
    stats = dict(incomplete=0, decode_s=0.0, chunks=0, bytes=0)
    draw = lambda first, row, w, h, pixels: None  # the toolkit's part, not counted

    reads = [0]

    def phase(handle, work, deadline):
        """Whole passes of the sample until half the time is over; (bytes, seconds)."""
        got, t0 = 0, time.time()
        while True:
            buf = bulkvideo.readVideo(handle)
            due = chunks[reads[0] % nchunks]
            check(len(buf) == len(due) and data_of(buf) == due,
                  'read %d (chunk %d of the pass): %d bytes, not the %d due%s'
                  % (reads[0], reads[0] % nchunks, len(buf), len(due),
                     '' if len(buf) != len(due) else ', or different ones'))
            reads[0] += 1
            got += len(buf)
            work(buf)
            now = time.time()
            if reads[0] % nchunks == 0 and now - t0 >= seconds / 2:
                return got, now - t0
            check(now < deadline, 'timed out (%d reads)' % reads[0])

    deadline = time.time() + seconds * 4 + 60
    handle = bulkvideo.attach(fd, ep)
    plain_bytes, plain_s = phase(handle, lambda buf: None, deadline)
    vidframe.createBuffer(width, height)
    vidframe.getStats()
    tiles = [0]

    def application(buf):
        sink(vidframe, buf, stats)
        tiles[0] += display_loop(vidframe, grid, 1, draw)

    loop_bytes, loop_s = phase(handle, application, deadline)
    bulkvideo.detach(handle)
    del handle
    passes = loop_bytes // nbytes
    padding, bogus = vidframe.getStats()
    check(loop_bytes == passes * nbytes and stats['bytes'] == loop_bytes, 'not whole passes')
    check(stats['incomplete'] == 0, '%d chunks left bytes over' % stats['incomplete'])
    check((padding, bogus) == (passes * paddings, 0), 'statistics (%d, %d), expected (%d, 0)'
          % (padding, bogus, passes * paddings))
    check(tiles[0] == passes * grid[0] * grid[1], 'the loop drew %d tiles in %d passes of %d'
          % (tiles[0], passes, grid[0] * grid[1]))
    lines = []
    for row in range(grid[1]):
        pixels, (w, h) = vidframe.toRGBString(0, row, grid[0], 1, 1)
        rgb = bytearray(pixels)
        del rgb[3::4]
        for y in range(min(h, height - row * 16)):
            lines.append(bytes(rgb[y * w * 3:y * w * 3 + width * 3]))
    check(b''.join(lines) == picture, 'the frame is not the sample picture')
    plain, loop = plain_bytes / plain_s / MB, loop_bytes / loop_s / MB
    print('OK loop: %d passes of the sample (%d chunks, %d bytes each) read and compared, then %d '
          'through the display loop: every tile drawn once a pass, the frame is the sample'
          % (plain_bytes // nbytes, nchunks, nbytes, passes))
    print('OK loop: reads alone %.2f MB/s, with the display loop %.2f MB/s: %s'
          % (plain, loop, 'keeps pace' if loop >= plain * 0.95 else
             'falls behind by %.0f%%' % (100 - 100 * loop / plain)))


# ---- faults at full rate ---------------------------------------------------------

def wait_for(what, predicate, timeout):
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value:
            return value
        check(time.time() < deadline, 'timed out waiting for ' + what)
        time.sleep(0.02)


def release(fd):
    try:
        fcntl.ioctl(fd, USBDEVFS_RELEASEINTERFACE, struct.pack('I', 0))
    except (IOError, OSError) as e:
        check(e.errno == errno.ENODEV, 'RELEASEINTERFACE: %s' % e)
    os.close(fd)


class Reader(object):
    """A thread that reads each handle it is given until the reads end,
    checking them. One thread for every round: a thread of its own each
    time would move the resident size by its stack and its allocator's
    arena, and hide what is measured."""

    def __init__(self, numbered):
        self.numbered = numbered
        self.handle = None
        self.outcome = None
        self.given, self.ended = threading.Event(), threading.Event()
        t = threading.Thread(target=self.run)
        t.daemon = True
        t.start()

    def start(self, handle):
        self.ended.clear()
        self.handle = handle
        self.given.set()

    def run(self):
        while True:
            self.given.wait()
            self.given.clear()
            handle, self.handle = self.handle, None
            try:
                while True:
                    self.numbered.take(bulkvideo.readVideo(handle))
            except EOFError:
                self.outcome = 'EOFError'
            except (IOError, OSError) as e:
                self.outcome = 'IOError %s' % errno.errorcode.get(e.errno, e.errno)
            except BaseException as e:  # noqa: B902 - reported by the round
                self.outcome = repr(e)
            del handle
            self.ended.set()


class Faults(object):
    def __init__(self, fd, ep, directory, args):
        self.fd, self.ep, self.directory = fd, ep, directory
        self.cycles, self.chunk = int(args[0]), int(args[1])
        self.udc, self.udc_name = args[2], args[3]
        self.numbered = Numbered()
        self.reader = None

    @property
    def deadline(self):
        # A minute for each wait, however slow the machine.
        return time.time() + 60

    def read_more(self, handle, amount, what):
        target = self.numbered.bytes + amount
        read_until(handle, self.numbered, lambda: self.numbered.bytes >= target, self.deadline, what)

    def resumed(self, what):
        """A new attachment reads the stream again."""
        handle = bulkvideo.attach(self.fd, self.ep)
        self.read_more(handle, 512 << 10, 'reading after ' + what)
        bulkvideo.detach(handle)
        self.numbered.resume()  # what was queued is gone with the detach

    def repeat(self, name, cycle):
        """cycle() CYCLES times; from the second time on (the first two may
        settle what the interpreter keeps, once) the resident size after
        each time must stay within 100 kB of the second's (an instance left
        behind is ~145 kB; the interpreter's own arenas move it by up to
        ~70 kB), and the descriptors the same."""
        outcomes, sizes = [], []
        for i in range(1, self.cycles + 1):
            outcomes.append(cycle(i))
            sizes.append((resident(), descriptors()))
        first, last = sizes[0], sizes[-1]
        self.resumed(name)
        print('OK %s at full rate, %d times: %s; %d bytes in order so far; then attach read '
              'the stream again' % (name, self.cycles, outcomes[0], self.numbered.bytes))
        print('OK %s: resident size after each time %s kB; %d descriptors each time'
              % (name, ', '.join(str(r) for r, _ in sizes), last[1]))
        check(len(set(d for _, d in sizes)) == 1, 'descriptors: %s' % [d for _, d in sizes])
        settled = sizes[1][0] if len(sizes) > 2 else first[0]
        check(max(r for r, _ in sizes[1:]) - settled <= 100,
              'the resident size grew from %d kB: %s' % (settled, [r for r, _ in sizes]))

    def stall(self, i):
        """The gadget halts the endpoint after exactly BYTES more: every
        byte up to there, then EPIPE for each queued request and ENODATA;
        the host clears the halt, and the stream goes on where it stopped."""
        handle = bulkvideo.attach(self.fd, self.ep)
        stop = i * self.chunk
        try:
            read_until(handle, self.numbered, lambda: False, self.deadline, 'for the stall')
        except (IOError, OSError) as e:
            check(e.errno == errno.EPIPE, 'the stall gave errno %s' % e.errno)
        check(self.numbered.bytes == stop, 'read %d bytes before the stall, %d were sent'
              % (self.numbered.bytes, stop))
        codes = read_errors(handle, (errno.ENODATA,))
        check(set(codes[:-1]) <= set([errno.EPIPE]), 'after the stall: %s' % names(codes))
        detach_checks(handle)
        del handle
        fcntl.ioctl(self.fd, USBDEVFS_CLEAR_HALT, struct.pack('I', self.ep))
        open(os.path.join(self.directory, 'clear%d' % i), 'w').close()
        return 'EPIPE after exactly the bytes sent, then %s' % names(codes)

    def detach(self, i):
        """detach on this thread while another reads at full rate."""
        handle = bulkvideo.attach(self.fd, self.ep)
        self.read_more(handle, self.chunk // 4, 'before the detach')
        if self.reader is None:
            self.reader = Reader(self.numbered)
        self.reader.start(handle)
        target = self.numbered.bytes + self.chunk
        wait_for('the reader to read on',
                 lambda: self.numbered.bytes >= target or self.reader.ended.is_set(), 60)
        bulkvideo.detach(handle)
        check(self.reader.ended.wait(10), 'detach did not end the reads')
        ended = self.reader.outcome
        check(ended == 'EOFError' or ended.startswith('IOError'), 'the reads ended with %s' % ended)
        detach_checks(handle)
        del handle
        self.numbered.resume()
        return 'the reads ended with %s' % ended

    def sigint(self, i):
        """SIGINT while this thread reads at full rate: KeyboardInterrupt
        once the read in progress returns."""
        handle = bulkvideo.attach(self.fd, self.ep)
        target = self.numbered.bytes + self.chunk

        def interrupt():
            wait_for('the reads to go on', lambda: self.numbered.bytes >= target, 60)
            os.kill(os.getpid(), signal.SIGINT)

        t = threading.Thread(target=interrupt)
        t.daemon = True
        t.start()
        limit = self.deadline
        try:
            while time.time() < limit:
                self.numbered.take(bulkvideo.readVideo(handle))
            raise AssertionError('no KeyboardInterrupt')
        except KeyboardInterrupt:
            pass
        t.join(10)
        bulkvideo.detach(handle)
        del handle
        self.numbered.resume()
        return 'KeyboardInterrupt'

    def unplug(self, i):
        """The gadget is unbound while this thread reads at full rate, then
        bound again: the device comes back on a new node."""
        handle = bulkvideo.attach(self.fd, self.ep)
        target = self.numbered.bytes + self.chunk

        def unbind():
            wait_for('the reads to go on', lambda: self.numbered.bytes >= target, 60)
            with open(self.udc, 'w') as f:
                f.write('\n')

        t = threading.Thread(target=unbind)
        t.daemon = True
        t.start()
        try:
            read_until(handle, self.numbered, lambda: False, self.deadline, 'for the unplug')
        except (IOError, OSError) as e:
            first = e.errno
        t.join(10)
        codes = [first] + read_errors(handle, (errno.ENODEV, errno.ENODATA), self.numbered)
        detach_checks(handle)
        del handle
        release(self.fd)
        self.fd = None
        with open(self.udc, 'w') as f:
            f.write(self.udc_name)
        node = wait_for('the device to come back', find_device, 30)[0]
        self.fd = open_device(node)
        self.numbered.resume()
        return 'IOError %s' % names(codes)

    def reopen(self, i):
        """The application detaches, closes the node and opens it again
        (the descriptor number comes back), attaches anew, and only then
        lets go of the old handle (the view of its last read kept it): the
        old handle must leave the new attachment's requests alone."""
        handle = bulkvideo.attach(self.fd, self.ep)
        self.read_more(handle, self.chunk // 4, 'before the reopen')
        last = bulkvideo.readVideo(handle)
        self.numbered.take(last)
        bulkvideo.detach(handle)
        del handle  # the view keeps it
        self.numbered.resume()
        node, old = os.readlink('/proc/self/fd/%d' % self.fd), self.fd
        release(self.fd)
        self.fd = open_device(node)
        check(self.fd == old, 'the node opened again as descriptor %d, not %d' % (self.fd, old))
        handle = bulkvideo.attach(self.fd, self.ep)
        self.read_more(handle, self.chunk // 4, 'on the descriptor opened again')
        del last
        self.read_more(handle, self.chunk, 'after the old handle went')
        bulkvideo.detach(handle)
        self.numbered.resume()
        return 'the new attachment read on, in order'

    def run(self):
        self.repeat('stall', self.stall)
        self.repeat('detach from another thread', self.detach)
        self.repeat('detach, close and open again, attach; then the old handle goes', self.reopen)
        self.repeat('SIGINT', self.sigint)
        self.repeat('unplug', self.unplug)
        print('OK faults: %d bytes of the stream checked in %d reads; it went on further ahead '
              '%d times, each after a detach' % (self.numbered.bytes, self.numbered.reads,
                                                 self.numbered.gaps))
        return self.fd


def scenario_faults(fd, ep, directory, args):
    return Faults(fd, ep, directory, args).run()


SCENARIOS = {
    'load': scenario_load,
    'loop': scenario_loop,
    'faults': scenario_faults,
}


def main():
    name, node, ep, directory = sys.argv[1:5]
    fd = open_device(node)
    fd = SCENARIOS[name](fd, int(ep, 0), directory, sys.argv[5:]) or fd
    release(fd)
    print('OK done')


if __name__ == '__main__':
    main()
