"""The display loop in a Tk window: each run of changed tiles put into a
photo image where the application draws it, the status line and title
updated as it plays, and the window ended by its close request, Ctrl-C or
SIGTERM in whatever state it is. The only layer that loads Tk. Python 3."""
import sys
import time

from .common import Failure, read_error, signal_text
from .display import decode_rate, display_loop, geometry, new_frame, new_stats, sink, take_stats


class FileChunks(object):
    """A stream file's chunks, at rate MB/s (None: as fast as they are
    taken). take() gives the next chunk that is due, or None; the first is
    due at once, and the pace counts from it."""

    def __init__(self, data, chunk, rate):
        self.view, self.chunk, self.rate = memoryview(data), chunk, rate
        self.pos = 0
        self.started = None
        self.error = None

    def take(self):
        if self.pos >= len(self.view):
            return None
        now = time.monotonic()
        if self.started is None:
            self.started = now
        if self.rate is not None and self.pos > 0 and self.pos > (now - self.started) * self.rate * 1e6:
            return None
        piece = self.view[self.pos:self.pos + self.chunk]
        self.pos += len(piece)
        return piece

    def wait(self):
        """Seconds until the next chunk is due."""
        if self.rate is None or self.started is None:
            return 0.0
        return max(0.0, self.started + self.pos / (self.rate * 1e6) - time.monotonic())

    def ended(self):
        return self.pos >= len(self.view)


def open_window(title):
    """A Tk root window, or a Failure saying why there can be none."""
    try:
        import tkinter
        import tkinter.font
    except ImportError:
        raise Failure("Tk is missing: apt-get install python3-tk")
    try:
        root = tkinter.Tk()
    except tkinter.TclError as e:
        raise Failure("cannot open a window (%s)" % e)
    root.title(title)
    return tkinter, root


# How it ended, as the closing line says it.
CLOSE_REQUEST = "by the window's close request"
WINDOW_GONE = "as the window went away"
FAILED = "after a failure"


class Viewer(object):
    """The display loop in a window: after each chunk, every run of changed
    tiles is put into the photo image where the application draws it; Tk
    shows the result between slices of work. `closed_by` says what ended
    it."""

    SLICE = 0.03      # seconds of decoding before Tk gets to redraw
    STATUS = 0.25     # seconds between status updates
    POLL = 100        # milliseconds between looks at the stop signals at most

    def __init__(self, tkinter, root, vidframe, size, scale, source, interrupt):
        self.tk, self.root, self.vidframe = root.tk, root, vidframe
        self.size, self.scale, self.source = size, scale, source
        self.interrupt = interrupt
        self.ts, self.picture, self.grid = geometry(size, scale)
        self.photo = tkinter.PhotoImage(master=root, width=self.grid[0] * self.ts,
                                        height=self.grid[1] * self.ts)
        self.canvas = tkinter.Canvas(root, width=self.picture[0], height=self.picture[1], bd=0,
                                     highlightthickness=0, background="black")
        self.canvas.create_image(0, 0, image=self.photo, anchor="nw")
        self.canvas.pack(side="top", anchor="nw")
        # The status line keeps one size, so the picture never moves.
        width = max(self.picture[0], 480)
        lines = tkinter.font.nametofont("TkDefaultFont").metrics("linespace")
        box = tkinter.Frame(root, width=width, height=4 * lines + 4)
        box.pack_propagate(False)
        box.pack(side="top", fill="x")
        self.status = tkinter.Label(box, anchor="nw", justify="left", wraplength=width - 4)
        self.status.pack(fill="both", expand=True)
        self.title = root.title()
        # A window manager's close button; without this Tk would destroy
        # the window itself and the loop would end without saying why.
        root.protocol("WM_DELETE_WINDOW", self.close_request)
        # An exception in a callback ends the loop and is raised by show():
        # Tk's default prints it and goes on, without the pump.
        root.report_callback_exception = self.failed
        self.failure = None
        self.closed_by = None
        self.stats = new_stats()
        self.busy_s = 0.0          # videoSink, the display loop and the drawing
        self.shows = []            # when slices that drew anything ended, for fps
        self.shown_at = None       # the status line's last update
        self.ended = False
        self.announced = False     # the end's statistics printed
        # Where the picture is goes out once the window is up: for a device
        # (whose stream has no end) at once, for a file at its end.
        self.live = not isinstance(source, FileChunks)
        self.placed = False

    def draw(self, first, row, width, height, pixels):
        rgb = bytearray(pixels)
        del rgb[3::4]
        self.tk.call(self.photo, "put", b"P6 %d %d 255\n" % (width, height) + rgb,
                     "-format", "ppm", "-to", first * self.ts, row * self.ts)

    def run(self):
        self.root.after_idle(self.pump)
        self.root.mainloop()
        if self.closed_by is None:
            self.closed_by = WINDOW_GONE

    def close(self, why):
        if self.closed_by is None:
            self.closed_by = why
        self.root.quit()

    def close_request(self):
        self.close(CLOSE_REQUEST)

    def failed(self, kind, value, tb):
        self.failure = value.with_traceback(tb)
        self.close(FAILED)

    def pump(self):
        if self.interrupt.seen is not None:
            self.close("by " + signal_text(self.interrupt.seen))
            return
        started = time.monotonic()
        drew = 0
        while time.monotonic() - started < self.SLICE:
            piece = self.source.take()
            if piece is None:
                break
            t0 = time.perf_counter()
            sink(self.vidframe, piece, self.stats)
            drew += display_loop(self.vidframe, self.grid, self.scale, self.draw)
            self.busy_s += time.perf_counter() - t0
        now = time.monotonic()
        take_stats(self.vidframe, self.stats)
        self.stats["tiles"] += drew
        if drew:
            self.shows.append(now)
        self.shows = [t for t in self.shows if t > now - 1.0]
        if self.source.ended() and not self.ended:
            self.ended = True
            self.show_status(now)
        elif self.shown_at is None or now - self.shown_at >= self.STATUS:
            self.show_status(now)
        if self.ended and not self.announced:
            # The statistics are final: out they go, window up or not.
            self.announced = True
            self.summary()
        if (self.live or self.ended) and not self.placed and self.canvas.winfo_viewable():
            # Once the window is up (a fast stream may end before that).
            self.placed = True
            self.root.update_idletasks()
            self.where()
        if self.ended:
            delay = self.POLL
        else:
            delay = 1 if drew else int(min(0.05, self.source.wait()) * 1000) + 1
        self.root.after(delay, self.pump)

    def show_status(self, now):
        self.shown_at = now
        s = self.stats
        fps = len(self.shows)
        loop = s["bytes"] / self.busy_s / 1e6 if self.busy_s > 0 else 0.0
        if not self.ended:
            state = "reading the device" if self.live else "playing"
        elif self.source.error is None:
            state = "end of stream"
        else:
            state = read_error(self.source.error, "the last picture stays")
        self.status.configure(text="%s\n%d fps, decode %.1f MB/s, loop %.1f MB/s\n"
                              "%.2f MB in %d chunks, %d tiles\n"
                              "padding %d markers, out of range %d, incomplete %d"
                              % (state, fps, decode_rate(s) if s["decode_s"] else 0.0, loop,
                                 s["bytes"] / 1e6, s["chunks"], s["tiles"], s["padding"], s["bogus"],
                                 s["incomplete"]))
        self.root.title("%s - %d fps" % (self.title, fps))

    def summary(self):
        s = self.stats
        loop = s["bytes"] / self.busy_s / 1e6 if self.busy_s > 0 else float("inf")
        print("frame         %dx%d, picture %dx%d at scale %g" % (self.size + self.picture + (self.scale,)))
        print("stream        %d bytes in %d chunks" % (s["bytes"], s["chunks"]))
        print("tiles decoded %d" % s["tiles"])
        print("padding       %d markers" % s["padding"])
        print("out of range  %d tile messages" % s["bogus"])
        print("incomplete    %d chunks" % s["incomplete"])
        print("decode        %.1f MB/s (videoSink alone), %.1f MB/s with the loop and drawing"
              % (decode_rate(s), loop))
        sys.stdout.flush()

    def where(self):
        """Where the picture is on the screen (for a screenshot)."""
        root = self.root
        print("shown         picture %dx%d at +%d+%d in a window %dx%d at +%d+%d of display %s"
              % (self.picture + (self.canvas.winfo_rootx(), self.canvas.winfo_rooty(),
                                 root.winfo_width(), root.winfo_height(), root.winfo_rootx(),
                                 root.winfo_rooty(), root.winfo_screen())))
        sys.stdout.flush()


def show(title, vidframe, size, scale, source, interrupt):
    """Runs the window until its close request, a stop signal (interrupt,
    an Interrupt, polled from here on) or its end; returns the viewer for
    its statistics and what closed it."""
    interrupt.polled()
    tkinter, root = open_window(title)
    try:
        new_frame(vidframe, size)
        viewer = Viewer(tkinter, root, vidframe, size, scale, source, interrupt)
        viewer.run()
    finally:
        try:
            root.destroy()
        except tkinter.TclError:
            pass   # the display went away
    if viewer.failure is not None:
        raise viewer.failure
    return viewer
