// bulkvideo: streams video from the adapter's bulk-IN endpoint over an open
// usbdevfs descriptor. Nine 16 KiB bulk reads stay queued; each readVideo
// hands out the next completed one as a read-only view of its own memory.
#include "pycompat.h"

#include <errno.h>
#include <stddef.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#include "diagnostics.h"

enum { slotCount = 9, slotSize = 0x4000 };

// The kernel's URB ends in a flexible array (only used for isochronous
// transfers), which C++ does not allow inside another record; the records
// therefore hold the URB's bytes, and urbOf views them as the URB.
typedef unsigned char UrbSpace[sizeof(struct usbdevfs_urb)] __attribute__((aligned(alignof(struct usbdevfs_urb))));
static inline struct usbdevfs_urb *urbOf(UrbSpace &space) { return reinterpret_cast<struct usbdevfs_urb *>(space); }

struct UrbBuffer {
    unsigned char data[slotSize];
    UrbSpace urb;
    uint8_t started;    // queued in the kernel: submitted, not yet reaped
    uint8_t discarded;  // discarded, its completion not yet reaped
};

struct UrbInstance {
    int attached;
    int fd;
    uint8_t ep;
    UrbSpace urbTemplate;
    UrbBuffer buffers[slotCount];
    UrbBuffer *handedOut;
    // A readVideo, or a detach's discards, under way on this handle (the
    // lock released around their ioctls): whichever ends last reaps what
    // was discarded.
    uint8_t reading, cancelling;
};

// How long detach (or freeing an instance) waits for the completions of its
// discarded requests before it gives up (freeing then leaves the memory to
// the kernel), and the step it waits in.
enum { drainWaitMs = 2000, drainStepMs = 5 };

static void freeInstance(void *ptr);
static TsHandleKind handleKind = {"bulkvideo.handle", freeInstance};

// ioctl with the interpreter lock released; EINTR is retried here, each retry
// taking the lock back in between so that other threads get their turn.
static int unlockedIoctl(int fd, unsigned long request, void *arg, int *err) {
    int r;
    do {
        Py_BEGIN_ALLOW_THREADS
        r = ioctl(fd, request, arg);
        *err = errno;
        Py_END_ALLOW_THREADS
    } while (r < 0 && *err == EINTR);
    return r;
}

// The slot whose urb lives at that address, or NULL when it is none of ours.
static UrbBuffer *slotOfUrb(UrbInstance *inst, void *which) {
    for (int i = 0; i < slotCount; i++)
        if (urbOf(inst->buffers[i].urb) == which) return &inst->buffers[i];
    return NULL;
}

static void discardOne(UrbInstance *inst, UrbBuffer *b) {
    b->started = 0;
    b->discarded = 1;
    int err;
    unlockedIoctl(inst->fd, USBDEVFS_DISCARDURB, urbOf(b->urb), &err);
}

static int queueOne(UrbInstance *inst, UrbBuffer *b) {
    // type through signr from the template; this also clears the status and
    // length of the previous completion.
    struct usbdevfs_urb *urb = urbOf(b->urb);
    memcpy(urb, inst->urbTemplate, offsetof(struct usbdevfs_urb, usercontext));
    urb->buffer = b->data;
    urb->usercontext = b;
    int err;
    if (unlockedIoctl(inst->fd, USBDEVFS_SUBMITURB, urb, &err) != 0) {
        b->started = 0;
        errno = err;
        perror("SUBMITURB");
        errno = err;
        PyErr_SetFromErrno(PyExc_IOError);
        return -1;
    }
    b->started = 1;
    // A detach on another thread while the lock was released has already
    // passed this slot by: take the request back here.
    if (!inst->attached) discardOne(inst, b);
    return 0;
}

// Submits the one slot `single`, or every slot not queued when it is NULL.
// Returns 0, or -1 with IOError set; slots after a failing one are not tried.
static int queueRequests(UrbInstance *inst, UrbBuffer *single) {
    if (single) {
        if (single->started) __my_assert("!single->started", "extension.cpp", "queueRequests", __LINE__);
        return queueOne(inst, single);
    }
    for (int i = 0; i < slotCount; i++) {
        UrbBuffer *b = &inst->buffers[i];
        if (b->started) continue;
        if (queueOne(inst, b) < 0) return -1;
    }
    return 0;
}

// Marks the instance detached and discards every queued request. The
// completions stay on the descriptor: a read waiting on another thread
// receives one of them; drainDiscarded collects the rest.
static void cancelRequests(UrbInstance *inst) {
    inst->attached = 0;
    for (int i = 0; i < slotCount; i++)
        if (inst->buffers[i].started) discardOne(inst, &inst->buffers[i]);
}

// Reaps the completions of this instance's discarded requests. The kernel
// writes status and length into each URB when it is reaped, so the memory may
// only be freed once none is left on the descriptor. Returns 1 when it may.
static int drainDiscarded(UrbInstance *inst) {
    int pending = 0;
    for (int i = 0; i < slotCount; i++) pending += inst->buffers[i].discarded;
    int waitedMs = 0;
    while (pending > 0) {
        void *which = NULL;
        int err;
        if (unlockedIoctl(inst->fd, USBDEVFS_REAPURBNDELAY, &which, &err) == 0) {
            UrbBuffer *b = slotOfUrb(inst, which);
            if (b) {
                b->started = 0;
                if (b->discarded) {
                    b->discarded = 0;
                    pending--;
                }
            }
            continue;
        }
        // ENODEV: the device is gone; EBADF, ENOTTY: the descriptor was closed,
        // and the kernel dropped its requests with it. Nothing more is written.
        if (err != EAGAIN) return 1;
        // An unlink can take a moment to complete; wait for it, within reason.
        if (waitedMs >= drainWaitMs) return 0;
        Py_BEGIN_ALLOW_THREADS
        poll(NULL, 0, drainStepMs);
        Py_END_ALLOW_THREADS
        waitedMs += drainStepMs;
    }
    return 1;
}

// Cancels what is still queued, reaps the discarded requests and frees the
// instance. If some completion never arrives the block is kept rather than
// freed under the kernel's feet. (After a detach nothing is queued, and so
// nothing more is discarded; its completions were reaped then.)
static void releaseInstance(UrbInstance *inst) {
    cancelRequests(inst);
    if (drainDiscarded(inst)) free(inst);
}

// The handle's destructor.
static void freeInstance(void *ptr) { releaseInstance(static_cast<UrbInstance *>(ptr)); }

static UrbInstance *instanceOf(PyObject *handle) {
    UrbInstance *inst = static_cast<UrbInstance *>(tsHandlePtr(handle, &handleKind));
    if (!inst) PyErr_SetNone(PyExc_TypeError);
    return inst;
}

PyDoc_STRVAR(doc_attach, "Setup file-descriptor for usage");
static PyObject *do_attach(PyObject *self, PyObject *args) {
    (void)self;
    int fd, ep;
    if (!PyArg_ParseTuple(args, "ii", &fd, &ep)) return NULL;
    if (!(ep & 0x80)) {
        PyErr_SetString(PyExc_ValueError, "endpoint must be an IN endpoint (bit 7 set)");
        return NULL;
    }
    UrbInstance *inst = static_cast<UrbInstance *>(calloc(1, sizeof(UrbInstance)));
    if (!inst) return PyErr_NoMemory();
    inst->fd = fd;
    inst->ep = (uint8_t)ep;
    inst->attached = 1;
    struct usbdevfs_urb *tmpl = urbOf(inst->urbTemplate);
    tmpl->type = USBDEVFS_URB_TYPE_BULK;
    tmpl->endpoint = (unsigned char)ep;
    tmpl->buffer_length = slotSize;
    if (queueRequests(inst, NULL) < 0) {
        // Take back what was queued before the failure, then let it go.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        releaseInstance(inst);
        PyErr_Restore(type, value, tb);
        return NULL;
    }
    PyObject *handle = tsHandleNew(inst, &handleKind);
    if (!handle) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        releaseInstance(inst);
        PyErr_Restore(type, value, tb);
    }
    return handle;
}

PyDoc_STRVAR(doc_detach, "Cleanup an instance");
static PyObject *do_detach(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    if (!PyArg_ParseTuple(args, "O", &handle)) return NULL;
    UrbInstance *inst = instanceOf(handle);
    if (!inst) return NULL;
    if (inst->attached) {
        inst->cancelling = 1;
        cancelRequests(inst);
        inst->cancelling = 0;
        // The completions of the discarded requests are taken off the
        // descriptor now, while the application still holds it open: once
        // detached it may close it, and the number may come back as another
        // attachment's descriptor, whose completions a later reap would take.
        // A read under way on another thread does it when it returns.
        if (!inst->reading) drainDiscarded(inst);
    }
    Py_RETURN_NONE;
}

// readVideo on an attached instance.
static PyObject *readNext(UrbInstance *inst, PyObject *handle) {
    if (inst->handedOut) {
        UrbBuffer *again = inst->handedOut;
        inst->handedOut = NULL;
        if (queueRequests(inst, again) < 0) return NULL;
        if (!inst->attached) {  // detached meanwhile on another thread
            PyErr_SetNone(PyExc_EOFError);
            return NULL;
        }
    }
    // With every slot dropped out of the ring nothing could ever complete:
    // say so instead of waiting for ever.
    int queued = 0;
    for (int i = 0; i < slotCount; i++) queued += inst->buffers[i].started;
    if (!queued) {
        errno = ENODATA;
        return PyErr_SetFromErrno(PyExc_IOError);
    }
    void *which = NULL;
    int err;
    if (unlockedIoctl(inst->fd, USBDEVFS_REAPURB, &which, &err) != 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_IOError);
    }
    // Look the URB up by address before touching it: only our own slots are
    // known to be live memory.
    UrbBuffer *b = slotOfUrb(inst, which);
    if (!b || urbOf(b->urb)->usercontext != b)
        __my_assert("&b->urb == which", "extension.cpp", "do_readVideo", __LINE__);
    struct usbdevfs_urb *urb = urbOf(b->urb);
    b->started = 0;
    b->discarded = 0;
    if (urb->status != 0) {
        errno = -urb->status;
        return PyErr_SetFromErrno(PyExc_IOError);
    }
    // A length beyond the buffer would show memory that is not the slot's.
    if (urb->actual_length < 0 || urb->actual_length > slotSize) {
        errno = EIO;
        return PyErr_SetFromErrno(PyExc_IOError);
    }
    inst->handedOut = b;
    return tsReadOnlyView(handle, b->data, urb->actual_length);
}

PyDoc_STRVAR(doc_readVideo, "Bulk read; returns a readonly buffer");
static PyObject *do_readVideo(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    if (!PyArg_ParseTuple(args, "O", &handle)) return NULL;
    UrbInstance *inst = instanceOf(handle);
    if (!inst) return NULL;
    if (!inst->attached) {
        PyErr_SetNone(PyExc_EOFError);
        return NULL;
    }
    inst->reading = 1;
    PyObject *result = readNext(inst, handle);
    inst->reading = 0;
    // Detached on another thread meanwhile, and its discards done: that
    // detach left their completions to this read.
    if (!inst->attached && !inst->cancelling) drainDiscarded(inst);
    return result;
}

static PyMethodDef methods[] = {
    {"attach", do_attach, METH_VARARGS, doc_attach},
    {"detach", do_detach, METH_VARARGS, doc_detach},
    {"readVideo", do_readVideo, METH_VARARGS, doc_readVideo},
    {NULL, NULL, 0, NULL},
};

TS_INIT_FUNC(bulkvideo) {
    PyObject *m = NULL;
    if (tsViewReady() < 0) TS_INIT_RETURN(m);
    TS_CREATE_MODULE(m, bulkvideo, methods);
    if (m && tsAddVersion(m) < 0) TS_INIT_FAIL(m);
    TS_INIT_RETURN(m);
}
