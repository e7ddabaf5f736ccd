/* A FunctionFS function with one bulk-IN endpoint that plays a script of
 * writes, zero-length packets, stalls and waits to the host side.
 *
 *   ffs_gadget FFS_MOUNT SCRIPT
 *
 * SCRIPT is a string of blank-separated items, played in order:
 *   N          one write of N pattern bytes (item k of the pattern writes:
 *              byte j is (k*31 + j*7 + 1) & 0xff)
 *   N*C        C such writes
 *   z          a zero-length write (ends a transfer that fills whole packets)
 *   stall      halt the endpoint (the host's transfers complete with -EPIPE)
 *   clear      clear the halt from the function's side
 *   wMS        sleep MS milliseconds
 *   await:PATH wait until PATH exists
 *   touch:PATH create PATH (tells the test how far the script got)
 *   file:PATH  records of PATH, one write each: a little-endian 32-bit
 *              length, then that many bytes (length 0 is a zero-length write)
 *
 * A write blocks until the host has taken the data into one of its transfers.
 * When the script is done, or a write fails (the gadget was unbound), the
 * program keeps the function open until SIGTERM or SIGINT. Progress lines
 * start with "GADGET" on standard output. */
#define _GNU_SOURCE
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_WRITE (1 << 20)

static void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("GADGET ", stdout);
    vprintf(fmt, ap);
    fputc('\n', stdout);
    fflush(stdout);
    va_end(ap);
}

static void die(const char *what) {
    say("fatal %s: %s", what, strerror(errno));
    exit(2);
}

/* Writes all of buf or fails; FunctionFS takes a whole write as one request. */
static int writeAll(int fd, const void *buf, size_t len) {
    ssize_t n = write(fd, buf, len);
    if (n < 0) return -1;
    if ((size_t)n != len) {
        errno = EIO;
        return -1;
    }
    return 0;
}

/* ---- descriptors -------------------------------------------------------- */

struct speedDescs {
    struct usb_interface_descriptor intf;
    struct usb_endpoint_descriptor_no_audio in;
} __attribute__((packed));

static struct {
    struct usb_functionfs_descs_head_v2 head;
    uint32_t fsCount, hsCount;
    struct speedDescs fs, hs;
} __attribute__((packed)) descriptors;

static struct {
    struct usb_functionfs_strings_head head;
    uint16_t lang;
    char name[sizeof "video"];
} __attribute__((packed)) strings;

static void fillSpeed(struct speedDescs *d, uint16_t maxPacket) {
    d->intf.bLength = sizeof d->intf;
    d->intf.bDescriptorType = USB_DT_INTERFACE;
    d->intf.bNumEndpoints = 1;
    d->intf.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    d->intf.iInterface = 1;
    d->in.bLength = sizeof d->in;
    d->in.bDescriptorType = USB_DT_ENDPOINT;
    d->in.bEndpointAddress = 1 | USB_DIR_IN;
    d->in.bmAttributes = USB_ENDPOINT_XFER_BULK;
    d->in.wMaxPacketSize = htole16(maxPacket);
}

static void writeDescriptors(int ep0) {
    descriptors.head.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    descriptors.head.length = htole32(sizeof descriptors);
    descriptors.head.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    descriptors.fsCount = htole32(2);
    descriptors.hsCount = htole32(2);
    fillSpeed(&descriptors.fs, 64);
    fillSpeed(&descriptors.hs, 512);
    if (writeAll(ep0, &descriptors, sizeof descriptors) < 0) die("descriptors");

    strings.head.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    strings.head.length = htole32(sizeof strings);
    strings.head.str_count = htole32(1);
    strings.head.lang_count = htole32(1);
    strings.lang = htole16(0x0409);
    memcpy(strings.name, "video", sizeof "video");
    if (writeAll(ep0, &strings, sizeof strings) < 0) die("strings");
}

/* Reports the function's life cycle; FunctionFS queues these on ep0. */
static void *eventLoop(void *arg) {
    static const char *names[] = {"BIND", "UNBIND", "ENABLE", "DISABLE", "SETUP", "SUSPEND",
                                  "RESUME"};
    int ep0 = *(int *)arg;
    struct usb_functionfs_event ev[4];
    for (;;) {
        ssize_t n = read(ep0, ev, sizeof ev);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return NULL;
        }
        for (size_t i = 0; i < (size_t)n / sizeof ev[0]; i++) {
            unsigned t = ev[i].type;
            say("event %s", t < sizeof names / sizeof names[0] ? names[t] : "?");
        }
    }
}

/* ---- the script --------------------------------------------------------- */

static volatile sig_atomic_t stopping;
static void onStop(int sig) {
    (void)sig;
    stopping = 1;
}

static uint8_t *scratch;
static int patternItem;
static long long totalBytes;
static int totalWrites;

static int patternWrite(int ep, long n) {
    for (long j = 0; j < n; j++) scratch[j] = (uint8_t)(patternItem * 31 + j * 7 + 1);
    patternItem++;
    if (writeAll(ep, scratch, n) < 0) return -1;
    totalBytes += n;
    totalWrites++;
    return 0;
}

static void sleepMs(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR && !stopping) {
    }
}

static int playFile(int ep, const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        say("cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    int rc = 0;
    uint8_t lenBytes[4];
    while (fread(lenBytes, 1, 4, f) == 4) {
        uint32_t len = lenBytes[0] | lenBytes[1] << 8 | lenBytes[2] << 16 | (uint32_t)lenBytes[3] << 24;
        if (len > MAX_WRITE || fread(scratch, 1, len, f) != len) {
            say("bad record in %s", path);
            rc = -1;
            break;
        }
        if (writeAll(ep, scratch, len) < 0) {
            rc = -1;
            break;
        }
        totalBytes += len;
        totalWrites++;
    }
    fclose(f);
    return rc;
}

/* Plays one item; -1 when the endpoint failed (errno set), -2 for a bad item. */
static int playItem(int ep, const char *item) {
    char *end;
    if (strcmp(item, "z") == 0) {
        if (writeAll(ep, scratch, 0) < 0) return -1;
        totalWrites++;
        return 0;
    }
    if (strcmp(item, "stall") == 0) {
        /* A read on an IN endpoint halts it; FunctionFS answers EBADMSG. */
        if (read(ep, scratch, 1) < 0 && errno == EBADMSG) return 0;
        return -1;
    }
    if (strcmp(item, "clear") == 0) return ioctl(ep, FUNCTIONFS_CLEAR_HALT) < 0 ? -1 : 0;
    if (item[0] == 'w') {
        long ms = strtol(item + 1, &end, 10);
        if (*end || end == item + 1) return -2;
        sleepMs(ms);
        return 0;
    }
    if (strncmp(item, "await:", 6) == 0) {
        struct stat st;
        while (stat(item + 6, &st) < 0 && !stopping) sleepMs(5);
        return 0;
    }
    if (strncmp(item, "touch:", 6) == 0) {
        int fd = open(item + 6, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return -1;
        close(fd);
        return 0;
    }
    if (strncmp(item, "file:", 5) == 0) return playFile(ep, item + 5);
    long n = strtol(item, &end, 10), count = 1;
    if (end == item || n < 0 || n > MAX_WRITE) return -2;
    if (*end == '*') {
        const char *c = end + 1;
        count = strtol(c, &end, 10);
        if (end == c || count < 0) return -2;
    }
    if (*end) return -2;
    for (long i = 0; i < count; i++)
        if (patternWrite(ep, n) < 0) return -1;
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s FFS_MOUNT SCRIPT\n", argv[0]);
        return 2;
    }
    scratch = malloc(MAX_WRITE);
    if (!scratch) die("malloc");

    char path[4096];
    snprintf(path, sizeof path, "%s/ep0", argv[1]);
    int ep0 = open(path, O_RDWR);
    if (ep0 < 0) die(path);
    writeDescriptors(ep0);
    snprintf(path, sizeof path, "%s/ep1", argv[1]);
    int ep = open(path, O_RDWR);
    if (ep < 0) die(path);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    /* The event thread must not take the stop signals, or pause() below
     * would never see them. */
    sigset_t stops, old;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    pthread_t events;
    if (pthread_create(&events, NULL, eventLoop, &ep0) != 0) die("pthread_create");
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    say("ready");

    char *script = strdup(argv[2]);
    int failed = 0;
    for (char *save, *item = strtok_r(script, " \t\n", &save); item && !stopping;
         item = strtok_r(NULL, " \t\n", &save)) {
        int rc = playItem(ep, item);
        if (rc == -2) {
            say("bad item %s", item);
            return 2;
        }
        if (rc < 0) {
            say("item %s failed: %s", item, strerror(errno));
            failed = 1;
            break;
        }
    }
    say("done writes=%d bytes=%lld%s", totalWrites, totalBytes, failed ? " failed" : "");
    while (!stopping) pause();
    say("stopped");
    return 0;
}
