/* The transport benchmark's C readers of a bulk-IN endpoint, each the way
 * a C application would read it:
 *
 *   usb_reader MODE NODE ENDPOINT SECONDS WARMUP
 *
 *   libusb-async  libusb-1.0: nine 16 KiB transfers in flight, each
 *                 resubmitted from its callback
 *   libusb-sync   libusb-1.0: one 16 KiB libusb_bulk_transfer at a time
 *   usbfs:N       usbdevfs ioctls straight: N 16 KiB requests queued, each
 *                 requeued as soon as it is reaped, nothing else done (with
 *                 N well above the ring's nine: what the device and the
 *                 host controller deliver when the reader never makes them
 *                 wait)
 *
 * NODE is the device's usbdevfs node (interface 0 is claimed). Once the
 * reader is set up, the bytes of the first WARMUP seconds are not counted;
 * then those of SECONDS. Prints
 *   READ reader=MODE bytes=N seconds=S cpu=C vm_busy=B vm_user=U vm_system=K vm_softirq=I vm_timer_irqs=T
 * (and the processor seconds this process spent in the window, and the
 * shares of the machine's processors that were busy, running programs, in
 * the kernel and in interrupts and softirqs: the last of which is where
 * the dummy host controller moves the data; and the local timer
 * interrupts, which drive its transfers) and exits 0, or says what
 * failed on standard error and exits 1. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

enum { transferSize = 16384, ringSize = 9, maxQueued = 256 };

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* What the machine's processors and this process did: the first line of
 * /proc/stat (user, nice, system, idle, iowait, irq, softirq, steal, in
 * ticks) and this process's processor seconds. */
struct usage {
    long long ticks[8];
    long long timerIrqs; /* local timer interrupts, all processors */
    double cpu;
};

static void takeUsage(struct usage *u) {
    memset(u, 0, sizeof *u);
    FILE *f = fopen("/proc/stat", "r");
    if (f) {
        if (fscanf(f, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &u->ticks[0], &u->ticks[1],
                   &u->ticks[2], &u->ticks[3], &u->ticks[4], &u->ticks[5], &u->ticks[6],
                   &u->ticks[7]) != 8)
            memset(u->ticks, 0, sizeof u->ticks);
        fclose(f);
    }
    f = fopen("/proc/interrupts", "r");
    if (f) {
        char line[4096];
        while (fgets(line, sizeof line, f)) {
            char *p = line;
            while (*p == ' ') p++;
            if (strncmp(p, "LOC:", 4) != 0) continue;
            p += 4;
            for (;;) {
                char *end;
                long long v = strtoll(p, &end, 10);
                if (end == p) break;
                u->timerIrqs += v;
                p = end;
            }
        }
        fclose(f);
    }
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    u->cpu = r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

/* Counts the bytes of the measured window: from `from` to `until`. */
struct window {
    double from, until;
    long long bytes;
    int open;
    struct usage first, last;
};

static double warmupSeconds, measuredSeconds;

/* Opens the window once the reader is set up (and says so, for a
 * profiler to start). */
static void startWindow(struct window *w) {
    printf("SETUP done\n");
    fflush(stdout);
    w->from = now() + warmupSeconds;
    w->until = w->from + measuredSeconds;
}

static int count(struct window *w, long n) {
    double t = now();
    if (t >= w->until) {
        takeUsage(&w->last);
        return 1;
    }
    if (t >= w->from) {
        if (!w->open) takeUsage(&w->first);
        w->open = 1;
        w->bytes += n;
    }
    return 0;
}

static void report(const char *mode, struct window *w) {
    long long d[8], total = 0;
    for (int i = 0; i < 8; i++) total += d[i] = w->last.ticks[i] - w->first.ticks[i];
    if (total <= 0) total = 1;
    printf("READ reader=%s bytes=%lld seconds=%.6f cpu=%.4f vm_busy=%.3f vm_user=%.3f "
           "vm_system=%.3f vm_softirq=%.3f vm_timer_irqs=%lld\n", mode, w->bytes, w->until - w->from,
           w->last.cpu - w->first.cpu, 1 - (double)(d[3] + d[4]) / total,
           (double)(d[0] + d[1]) / total, (double)d[2] / total, (double)(d[5] + d[6]) / total,
           w->last.timerIrqs - w->first.timerIrqs);
}

static void fail(const char *what, const char *why) {
    fprintf(stderr, "usb_reader: %s: %s\n", what, why);
    exit(1);
}

/* ---- libusb-1.0 ---------------------------------------------------------- */

static struct window win;
static int stopping, pending, failures;

static void LIBUSB_CALL completed(struct libusb_transfer *t) {
    if (t->status == LIBUSB_TRANSFER_COMPLETED) {
        if (count(&win, t->actual_length)) stopping = 1;
    } else if (t->status != LIBUSB_TRANSFER_CANCELLED) {
        failures++;
        stopping = 1;
    }
    if (!stopping && libusb_submit_transfer(t) == 0) return;
    pending--;
}

static libusb_device_handle *openLibusb(libusb_context **ctx, const char *node) {
    /* The device comes from its node; no enumeration (there is no udev in
     * the test VM). */
    libusb_set_option(NULL, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
    int r = libusb_init(ctx);
    if (r < 0) fail("libusb_init", libusb_strerror(r));
    int fd = open(node, O_RDWR);
    if (fd < 0) fail(node, strerror(errno));
    libusb_device_handle *h;
    r = libusb_wrap_sys_device(*ctx, fd, &h);
    if (r < 0) fail("libusb_wrap_sys_device", libusb_strerror(r));
    r = libusb_claim_interface(h, 0);
    if (r < 0) fail("libusb_claim_interface", libusb_strerror(r));
    return h;
}

static void libusbAsync(const char *node, unsigned char ep) {
    libusb_context *ctx;
    libusb_device_handle *h = openLibusb(&ctx, node);
    struct libusb_transfer *ts[ringSize];
    for (int i = 0; i < ringSize; i++) {
        ts[i] = libusb_alloc_transfer(0);
        unsigned char *buf = malloc(transferSize);
        if (!ts[i] || !buf) fail("libusb_alloc_transfer", "out of memory");
        libusb_fill_bulk_transfer(ts[i], h, ep, buf, transferSize, completed, NULL, 0);
        int r = libusb_submit_transfer(ts[i]);
        if (r < 0) fail("libusb_submit_transfer", libusb_strerror(r));
        pending++;
    }
    startWindow(&win);
    while (!stopping) {
        struct timeval tv = {0, 100000};
        int r = libusb_handle_events_timeout_completed(ctx, &tv, NULL);
        if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) fail("libusb_handle_events", libusb_strerror(r));
        if (now() >= win.until) stopping = 1;
    }
    for (int i = 0; i < ringSize; i++) libusb_cancel_transfer(ts[i]);
    while (pending > 0) {
        struct timeval tv = {0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, NULL);
    }
    if (failures) fail("a transfer", "failed");
    report("libusb-async", &win);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
}

static void libusbSync(const char *node, unsigned char ep) {
    libusb_context *ctx;
    libusb_device_handle *h = openLibusb(&ctx, node);
    unsigned char *buf = malloc(transferSize);
    if (!buf) fail("malloc", "out of memory");
    startWindow(&win);
    for (;;) {
        int got = 0;
        int r = libusb_bulk_transfer(h, ep, buf, transferSize, &got, 5000);
        if (r < 0) fail("libusb_bulk_transfer", libusb_strerror(r));
        if (count(&win, got)) break;
    }
    report("libusb-sync", &win);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
}

/* ---- usbdevfs straight ----------------------------------------------------- */

static void usbfs(const char *mode, const char *node, unsigned char ep, int queued) {
    int fd = open(node, O_RDWR);
    if (fd < 0) fail(node, strerror(errno));
    unsigned int intf = 0;
    if (ioctl(fd, USBDEVFS_CLAIMINTERFACE, &intf) < 0) fail("CLAIMINTERFACE", strerror(errno));
    struct usbdevfs_urb *urbs = calloc(queued, sizeof *urbs);
    unsigned char *data = malloc((size_t)queued * transferSize);
    if (!urbs || !data) fail("malloc", "out of memory");
    for (int i = 0; i < queued; i++) {
        urbs[i].type = USBDEVFS_URB_TYPE_BULK;
        urbs[i].endpoint = ep;
        urbs[i].buffer = data + (size_t)i * transferSize;
        urbs[i].buffer_length = transferSize;
        if (ioctl(fd, USBDEVFS_SUBMITURB, &urbs[i]) < 0) fail("SUBMITURB", strerror(errno));
    }
    startWindow(&win);
    for (;;) {
        struct usbdevfs_urb *u;
        if (ioctl(fd, USBDEVFS_REAPURB, &u) < 0) {
            if (errno == EINTR) continue;
            fail("REAPURB", strerror(errno));
        }
        if (u->status) fail("a request", strerror(-u->status));
        if (count(&win, u->actual_length)) break;
        if (ioctl(fd, USBDEVFS_SUBMITURB, u) < 0) fail("SUBMITURB", strerror(errno));
    }
    report(mode, &win);
    close(fd); /* the kernel takes back what is still queued */
}

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: usb_reader libusb-async|libusb-sync|usbfs:N NODE ENDPOINT SECONDS WARMUP\n");
        return 2;
    }
    const char *mode = argv[1], *node = argv[2];
    unsigned char ep = (unsigned char)strtol(argv[3], NULL, 0);
    measuredSeconds = atof(argv[4]);
    warmupSeconds = atof(argv[5]);
    if (strcmp(mode, "libusb-async") == 0) {
        libusbAsync(node, ep);
    } else if (strcmp(mode, "libusb-sync") == 0) {
        libusbSync(node, ep);
    } else if (strncmp(mode, "usbfs:", 6) == 0) {
        int n = atoi(mode + 6);
        if (n < 1 || n > maxQueued) fail(mode, "1 to 256 requests");
        usbfs(mode, node, ep, n);
    } else {
        fail(mode, "unknown reader");
    }
    return 0;
}
