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
 * program keeps the function open until SIGTERM or SIGINT.
 *
 * Streaming items keep several requests queued at once (asynchronous I/O on
 * the endpoint file), so the host's transfers never wait for this program:
 *   seq:N      N bytes (a multiple of 512; 0: until stopped) of the numbered
 *              stream: the 8 bytes at offset 8w hold w, little-endian, so
 *              512-byte block k starts with 64k. The numbering goes on
 *              across seq items.
 *   loop:PATH:C  the records of PATH, one request each, C times over (0:
 *              until stopped)
 *   aio:D:S    from here on, D requests of at most S bytes queued (default
 *              8 of 65536); D = 0 makes one blocking write at a time
 * A request that fails (the gadget was unbound) loses its bytes, and the
 * stream goes on once the function is enabled again. Every other item
 * first waits until the queued requests are done. Progress lines start with
 * "GADGET" on standard output. */
#define _GNU_SOURCE
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/aio_abi.h>
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
#include <sys/syscall.h>
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

/* ---- streaming ---------------------------------------------------------- */

struct request {
    struct iocb cb;
    uint8_t *buf; /* aioSize bytes, for sources that make their bytes */
    int busy;
};

static int aioDepth = 8;
static long aioSize = 65536;
static aio_context_t aioCtx;
static struct request *requests;
static int requestCount;
static long requestSize;
static uint64_t nextWord; /* the numbered stream's next 8-byte word */

/* What a stream item sends: the numbered words, or a file's records. */
struct source {
    int isFile;
    int unlimited;
    uint64_t wordsLeft;        /* seq */
    uint8_t *file;             /* loop: the whole file */
    size_t fileLen, pos;
    long rounds, round;
};

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* The next request's bytes at *data (in buf, or in the file); its length,
 * or -1 when the source is exhausted. */
static long sourceNext(struct source *src, uint8_t *buf, const uint8_t **data) {
    if (!src->isFile) {
        long n = aioSize;
        if (!src->unlimited) {
            if (src->wordsLeft == 0) return -1;
            if ((uint64_t)n > src->wordsLeft * 8) n = (long)(src->wordsLeft * 8);
            src->wordsLeft -= n / 8;
        }
        for (long i = 0; i < n / 8; i++) {
            uint64_t w = htole64(nextWord++);
            memcpy(buf + 8 * i, &w, 8);
        }
        *data = buf;
        return n;
    }
    if (src->pos == src->fileLen) {
        src->round++;
        if (!src->unlimited && src->round >= src->rounds) return -1;
        src->pos = 0;
    }
    const uint8_t *p = src->file + src->pos;
    uint32_t len = p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
    *data = p + 4;
    src->pos += 4 + len;
    return len;
}

/* Buffers for the current aio: setting, and a context for its depth. */
static int ensureRequests(void) {
    int want = aioDepth > 0 ? aioDepth : 1;
    if (requestCount != want || requestSize != aioSize) {
        for (int i = 0; i < requestCount; i++) free(requests[i].buf);
        free(requests);
        requestCount = 0;
        requests = calloc(want, sizeof *requests);
        if (!requests) return -1;
        for (int i = 0; i < want; i++)
            if (!(requests[i].buf = aligned_alloc(4096, aioSize))) return -1;
        requestCount = want;
        requestSize = aioSize;
        if (aioCtx) syscall(SYS_io_destroy, aioCtx);
        aioCtx = 0;
    }
    if (aioDepth > 0 && !aioCtx && syscall(SYS_io_setup, aioDepth, &aioCtx) < 0) return -1;
    return 0;
}

/* Counts a request's outcome; -1 once failures follow each other without
 * end (the endpoint will not work again). */
struct streamCount {
    long long bytes;
    long failed, failedInARow;
    int lastError;
};

static int countResult(struct streamCount *c, long res) {
    if (res >= 0) {
        c->bytes += res;
        c->failedInARow = 0;
        c->lastError = 0;
        return 0;
    }
    c->failed++;
    if ((int)-res != c->lastError) say("stream: a request failed: %s", strerror((int)-res));
    c->lastError = (int)-res;
    return ++c->failedInARow > 1000 ? -1 : 0;
}

/* Streams src: aioDepth requests queued (or one blocking write at a time)
 * until the source is exhausted and every request is done. Returns 0, or -1
 * when stopped or on a failure of the stream itself. */
static int streamRun(int ep, struct source *src, const char *what) {
    if (ensureRequests() < 0) {
        say("stream: cannot set up %d requests of %ld bytes: %s", aioDepth, aioSize, strerror(errno));
        return -1;
    }
    struct streamCount c = {0, 0, 0, 0};
    double t0 = now();
    int rc = 0;
    if (aioDepth == 0) {
        for (;;) {
            const uint8_t *data;
            long n = sourceNext(src, requests[0].buf, &data);
            if (n < 0) break;
            ssize_t w;
            while ((w = write(ep, data, n)) < 0 && errno == EINTR && !stopping) {
            }
            if (stopping) {
                rc = -1;
                break;
            }
            if (countResult(&c, w < 0 ? -errno : w) < 0) {
                rc = -1;
                break;
            }
        }
    } else {
        int inflight = 0, done = 0;
        while (!stopping) {
            for (int i = 0; i < requestCount && !done && inflight < aioDepth && !stopping; i++) {
                struct request *r = &requests[i];
                if (r->busy) continue;
                const uint8_t *data;
                long n = sourceNext(src, r->buf, &data);
                if (n < 0) {
                    done = 1;
                    break;
                }
                memset(&r->cb, 0, sizeof r->cb);
                r->cb.aio_fildes = (uint32_t)ep;
                r->cb.aio_lio_opcode = IOCB_CMD_PWRITE;
                r->cb.aio_buf = (uint64_t)(uintptr_t)data;
                r->cb.aio_nbytes = (uint64_t)n;
                r->cb.aio_data = (uint64_t)(uintptr_t)r;
                struct iocb *p = &r->cb;
                /* Waits while the function is disabled (unbound). */
                long s;
                while ((s = syscall(SYS_io_submit, aioCtx, 1L, &p)) < 0 && errno == EINTR && !stopping) {
                }
                if (stopping) break;
                if (s != 1) {
                    if (countResult(&c, -errno) < 0) {
                        rc = -1;
                        done = 1;
                    }
                    continue;
                }
                r->busy = 1;
                inflight++;
            }
            if (inflight == 0 || stopping) break;
            struct io_event ev[16];
            long got = syscall(SYS_io_getevents, aioCtx, 1L, 16L, ev, NULL);
            if (got < 0) {
                if (errno == EINTR) continue;
                say("stream: io_getevents: %s", strerror(errno));
                rc = -1;
                break;
            }
            for (long i = 0; i < got; i++) {
                struct request *r = (struct request *)(uintptr_t)ev[i].data;
                r->busy = 0;
                inflight--;
                if (countResult(&c, (long)ev[i].res) < 0) {
                    rc = -1;
                    done = 1;
                }
            }
        }
        if (stopping) rc = -1;
    }
    double dt = now() - t0;
    totalBytes += c.bytes;
    say("streamed %s: %lld bytes in %.2fs (%.2f MB/s), %ld requests failed%s", what, c.bytes, dt,
        dt > 0 ? c.bytes / dt / 1e6 : 0.0, c.failed, stopping ? ", stopped" : "");
    return rc;
}

static int streamSeq(int ep, const char *arg) {
    char *end;
    long long n = strtoll(arg, &end, 10);
    if (*end || end == arg || n < 0 || n % 512) return -2;
    struct source src;
    memset(&src, 0, sizeof src);
    src.unlimited = n == 0;
    src.wordsLeft = (uint64_t)n / 8;
    return streamRun(ep, &src, "seq");
}

static int streamFile(int ep, const char *arg) {
    const char *colon = strrchr(arg, ':');
    if (!colon || colon == arg) return -2;
    char *end;
    long rounds = strtol(colon + 1, &end, 10);
    if (*end || end == colon + 1 || rounds < 0) return -2;
    char path[4096];
    snprintf(path, sizeof path, "%.*s", (int)(colon - arg), arg);
    FILE *f = fopen(path, "rb");
    if (!f) {
        say("cannot open %s: %s", path, strerror(errno));
        return -1;
    }
    struct source src;
    memset(&src, 0, sizeof src);
    src.isFile = 1;
    src.unlimited = rounds == 0;
    src.rounds = rounds;
    size_t cap = 0;
    for (;;) {
        if (src.fileLen + 65536 > cap) {
            cap = cap ? 2 * cap : 1 << 20;
            uint8_t *grown = realloc(src.file, cap);
            if (!grown) die("realloc");
            src.file = grown;
        }
        size_t got = fread(src.file + src.fileLen, 1, cap - src.fileLen, f);
        if (got == 0) break;
        src.fileLen += got;
    }
    fclose(f);
    /* Every record whole and within bounds, so that sourceNext need not check. */
    int rc = 0;
    size_t pos = 0;
    while (pos < src.fileLen) {
        if (src.fileLen - pos < 4) break;
        const uint8_t *p = src.file + pos;
        uint32_t len = p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
        if (len > MAX_WRITE || len > src.fileLen - pos - 4) break;
        pos += 4 + len;
    }
    if (pos != src.fileLen || pos == 0) {
        say("bad record in %s", path);
        rc = -1;
    } else {
        rc = streamRun(ep, &src, "loop");
    }
    free(src.file);
    return rc;
}

static int setAio(const char *arg) {
    char *end;
    long depth = strtol(arg, &end, 10);
    if (end == arg || *end != ':' || depth < 0 || depth > 64) return -2;
    const char *s = end + 1;
    long size = strtol(s, &end, 10);
    if (end == s || *end || size < 512 || size > MAX_WRITE || size % 512) return -2;
    aioDepth = (int)depth;
    aioSize = size;
    return 0;
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
    if (strncmp(item, "seq:", 4) == 0) return streamSeq(ep, item + 4);
    if (strncmp(item, "loop:", 5) == 0) return streamFile(ep, item + 5);
    if (strncmp(item, "aio:", 4) == 0) return setAio(item + 4);
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
            if (!stopping) {
                say("item %s failed: %s", item, strerror(errno));
                failed = 1;
            }
            break;
        }
    }
    say("done writes=%d bytes=%lld%s", totalWrites, totalBytes, failed ? " failed" : "");
    while (!stopping) pause();
    say("stopped");
    return 0;
}
