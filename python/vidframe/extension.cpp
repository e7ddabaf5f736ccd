// vidframe: the frame module's CPython binding. Each handler parses its
// arguments, calls the core (vidframe.h) and builds the result; the core's
// status becomes the exception.
#include "pycompat.h"

#include <climits>

#include "diagnostics.h"
#include "vidframe.h"

static PyObject *raiseStatus(int status) {
    switch (status) {
    case vfNoMemory: return PyErr_NoMemory();
    case vfBadTopLeft: PyErr_SetString(PyExc_ValueError, "top-left x,y out of range"); break;
    case vfBadWidth: PyErr_SetString(PyExc_ValueError, "width out of range"); break;
    case vfBadHeight: PyErr_SetString(PyExc_ValueError, "height out of range"); break;
    case vfBadScale:
        PyErr_SetString(PyExc_ValueError, "scale must be a number from 0.0625 up");
        break;
    default: PyErr_SetString(PyExc_ValueError, "args are out of range"); break;
    }
    return NULL;
}

PyDoc_STRVAR(doc_createBuffer, "Creates framebuffer memory");
static PyObject *do_createBuffer(PyObject *self, PyObject *args) {
    (void)self;
    int width, height;
    if (!PyArg_ParseTuple(args, "ii", &width, &height)) return NULL;
    int status = createFrameStore(width, height);
    if (status != vfOk) return raiseStatus(status);
    Py_RETURN_NONE;
}

// The chunk is read in place: "s#" on 2.7 (str and read-only buffers), "s*"
// on 3 so that bytes, bytearray and memoryview are all taken without a copy.
#if PY_MAJOR_VERSION >= 3
struct Chunk {
    Py_buffer view;
};
static int parseChunk(PyObject *args, Chunk *c, const char **data, Py_ssize_t *len, int *start) {
    if (!PyArg_ParseTuple(args, "s*|i", &c->view, start)) return 0;
    *data = static_cast<const char *>(c->view.buf);
    *len = c->view.len;
    return 1;
}
static void releaseChunk(Chunk *c) { PyBuffer_Release(&c->view); }
#else
struct Chunk {};
static int parseChunk(PyObject *args, Chunk *, const char **data, Py_ssize_t *len, int *start) {
    return PyArg_ParseTuple(args, "s#|i", data, len, start);
}
static void releaseChunk(Chunk *) {}
#endif

PyDoc_STRVAR(doc_videoSink, "Process video data");
static PyObject *do_videoSink(PyObject *self, PyObject *args) {
    (void)self;
    Chunk chunk;
    const char *data;
    Py_ssize_t len;
    int start = 0;
    if (!parseChunk(args, &chunk, &data, &len, &start)) return NULL;
    int result = 0;
    // Lengths are 32-bit in the decoder; a longer chunk is refused, not cut.
    int status = len > INT_MAX ? vfOutOfRange
                               : sinkVideo(reinterpret_cast<const uint8_t *>(data), (int)len,
                                           start, &result);
    releaseChunk(&chunk);
    if (status != vfOk) return raiseStatus(status);
    return TS_FROM_LONG(result);
}

// One int argument the quick way: exact ints in int range only; anything
// else (and its error) is left to PyArg_ParseTuple.
static bool quickInt(PyObject *o, int *out) {
#if PY_MAJOR_VERSION >= 3
    if (!PyLong_CheckExact(o)) return false;
    int overflow;
    long v = PyLong_AsLongAndOverflow(o, &overflow);
#else
    if (!PyInt_CheckExact(o)) return false;
    long v = PyInt_AS_LONG(o);
    int overflow = 0;
#endif
    if (overflow || v < INT_MIN || v > INT_MAX) return false;
    *out = (int)v;
    return true;
}

// "ii|iif" for the common calls (two to four ints, then maybe a float);
// false sends the arguments through PyArg_ParseTuple instead.
static bool quickReadArgs(PyObject *args, int *v, float *scale) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < 2 || n > 5) return false;
    for (Py_ssize_t i = 0; i < n && i < 4; i++)
        if (!quickInt(PyTuple_GET_ITEM(args, i), &v[i])) return false;
    if (n == 5) {
        PyObject *f = PyTuple_GET_ITEM(args, 4);
        if (!PyFloat_CheckExact(f)) return false;
        *scale = (float)PyFloat_AS_DOUBLE(f);
    }
    return true;
}

// The (width, height) of the last result, handed out again while it fits.
static PyObject *lastSize;

static PyObject *sizeTuple(int w, int h) {
    if (lastSize && TS_AS_LONG(PyTuple_GET_ITEM(lastSize, 0)) == w &&
        TS_AS_LONG(PyTuple_GET_ITEM(lastSize, 1)) == h) {
        Py_INCREF(lastSize);
        return lastSize;
    }
    PyObject *t = Py_BuildValue("(ii)", w, h);
    if (!t) return NULL;
    Py_XDECREF(lastSize);
    lastSize = t;
    Py_INCREF(t);
    return t;
}

PyDoc_STRVAR(doc_toRGBString, "Read tiles in a row with resizing");
static PyObject *do_toRGBString(PyObject *self, PyObject *args) {
    (void)self;
    int v[4] = {0, 0, 1, 1};
    float scale = 1.0f;
    if (!quickReadArgs(args, v, &scale) && !PyArg_ParseTuple(args, "ii|iif", &v[0], &v[1], &v[2], &v[3], &scale))
        return NULL;
    const uint8_t *pixels;
    int outWidth, outHeight;
    int status = readTiles(v[0], v[1], v[2], v[3], scale, &pixels, &outWidth, &outHeight);
    if (status != vfOk) return raiseStatus(status);
    Py_ssize_t bytes = (Py_ssize_t)outWidth * outHeight * 4;
    PyObject *data = TS_BYTES_FROM(reinterpret_cast<const char *>(pixels), bytes);
    PyObject *size = data ? sizeTuple(outWidth, outHeight) : NULL;
    PyObject *result = size ? PyTuple_New(2) : NULL;
    if (!result) {
        Py_XDECREF(data);
        Py_XDECREF(size);
        return NULL;
    }
    PyTuple_SET_ITEM(result, 0, data);
    PyTuple_SET_ITEM(result, 1, size);
    return result;
}

PyDoc_STRVAR(doc_getChanges, "Return how many tiles have changed in a row");
static PyObject *do_getChanges(PyObject *self, PyObject *args) {
    (void)self;
    int row, count;
    if (!PyArg_ParseTuple(args, "ii", &row, &count)) return NULL;
    const TileRun *runs;
    int nRuns;
    int status = collectChanges(row, count, &runs, &nRuns);
    if (status != vfOk) return raiseStatus(status);
    PyObject *list = PyList_New(0);
    if (!list) return NULL;
    for (int i = 0; i < nRuns; i++) {
        PyObject *item = Py_BuildValue("ii", runs[i].first, runs[i].count);
        if (!item || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return NULL;
        }
        Py_DECREF(item);
    }
    return list;
}

PyDoc_STRVAR(doc_toGreyscale, "Turns image to greyscale");
static PyObject *do_toGreyscale(PyObject *self, PyObject *args) {
    (void)self;
    int markChanged = 1;
    if (!PyArg_ParseTuple(args, "|i", &markChanged)) return NULL;
    greyscaleFrame(markChanged);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(doc_getStats, "Return some statistics");
static PyObject *do_getStats(PyObject *self, PyObject *args) {
    (void)self;
    (void)args;  // any arguments are accepted and ignored
    int padding, bogus;
    takeStats(&padding, &bogus);
    return Py_BuildValue("ii", padding, bogus);
}

PyDoc_STRVAR(doc_getBlackEdges, "# of black pixels on four sizes; needs (w,h) of active area.");
static PyObject *do_getBlackEdges(PyObject *self, PyObject *args) {
    (void)self;
    int w, h;
    if (!PyArg_ParseTuple(args, "ii", &w, &h)) return NULL;
    int edges[4];
    measureBlackEdges(w, h, edges);
    return Py_BuildValue("iiii", edges[0], edges[1], edges[2], edges[3]);
}

static PyMethodDef methods[] = {
    {"createBuffer",  do_createBuffer,  METH_VARARGS, doc_createBuffer},
    {"videoSink",     do_videoSink,     METH_VARARGS, doc_videoSink},
    {"toRGBString",   do_toRGBString,   METH_VARARGS, doc_toRGBString},
    {"getChanges",    do_getChanges,    METH_VARARGS, doc_getChanges},
    {"toGreyscale",   do_toGreyscale,   METH_VARARGS, doc_toGreyscale},
    {"getStats",      do_getStats,      METH_VARARGS, doc_getStats},
    {"getBlackEdges", do_getBlackEdges, METH_VARARGS, doc_getBlackEdges},
    {NULL, NULL, 0, NULL}
};

TS_INIT_FUNC(vidframe) {
    PyObject *m;
    TS_CREATE_MODULE(m, vidframe, methods);
    if (m && tsAddVersion(m) < 0) TS_INIT_FAIL(m);
    TS_INIT_RETURN(m);
}
