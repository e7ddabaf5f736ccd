// The differences between the CPython 2.7 and 3 extension APIs, one block
// each, so that module sources read the same for both interpreters.
#ifndef TILESTREAM_PYCOMPAT_H
#define TILESTREAM_PYCOMPAT_H

#include <Python.h>

#if PY_MAJOR_VERSION >= 3

// Binary results are bytes; "y" builds them, "s" would build str.
#define TS_BYTES "y"
// The object type of opaque handles, for "O!" parsing.
#define TS_HANDLE_TYPE PyCapsule_Type
// A str of 8-bit characters (each byte one code point).
#define TS_STR_FROM_8BIT(s) PyUnicode_DecodeLatin1((s), (Py_ssize_t)strlen(s), NULL)
#define TS_FROM_LONG PyLong_FromLong
#define TS_AS_LONG PyLong_AsLong
#define TS_BYTES_FROM PyBytes_FromStringAndSize
#define TS_INIT_FUNC(name) PyMODINIT_FUNC PyInit_##name(void)
#define TS_INIT_RETURN(m) return (m)
// Gives up on a half-made module: its reference is dropped, the error stays set.
#define TS_INIT_FAIL(m) \
    do {                \
        Py_DECREF(m);   \
        return NULL;    \
    } while (0)
// Creates the module over its method table, no doc string, no per-module state.
#define TS_CREATE_MODULE(m, name, methods)                                               \
    static struct PyModuleDef name##_moduledef = {PyModuleDef_HEAD_INIT, #name, NULL, -1, \
                                                  methods, NULL, NULL, NULL, NULL};      \
    (m) = PyModule_Create(&name##_moduledef)

// Opaque handles are named capsules. The kind (a static object of the module)
// is the capsule's context and its destructor is ours, so no capsule made
// elsewhere, even one under the same name, passes for a handle.
struct TsHandleKind {
    const char *name;
    void (*destroy)(void *ptr);
};
static inline void tsHandleRelease(PyObject *capsule) {
    TsHandleKind *kind = static_cast<TsHandleKind *>(PyCapsule_GetContext(capsule));
    kind->destroy(PyCapsule_GetPointer(capsule, kind->name));
}
static inline PyObject *tsHandleNew(void *ptr, TsHandleKind *kind) {
    PyObject *capsule = PyCapsule_New(ptr, kind->name, tsHandleRelease);
    if (capsule && PyCapsule_SetContext(capsule, kind) < 0) {
        PyCapsule_SetDestructor(capsule, NULL);  // ptr stays the caller's
        Py_DECREF(capsule);
        return NULL;
    }
    return capsule;
}
// The wrapped pointer, or NULL (no exception set) when obj is not a handle of this kind.
static inline void *tsHandlePtr(PyObject *obj, TsHandleKind *kind) {
    if (!PyCapsule_CheckExact(obj) || PyCapsule_GetDestructor(obj) != tsHandleRelease ||
        PyCapsule_GetContext(obj) != kind)
        return NULL;
    return PyCapsule_GetPointer(obj, kind->name);
}

// Read-only views over memory owned by another object: a memoryview over a
// small exporter that keeps the owner alive, so the view never outlives the
// memory it shows. Nothing is copied.
struct TsViewExporter {
    PyObject_HEAD
    PyObject *owner;
    void *data;
    Py_ssize_t len;
};
static inline int tsViewGetBuffer(PyObject *self, Py_buffer *view, int flags) {
    TsViewExporter *e = reinterpret_cast<TsViewExporter *>(self);
    return PyBuffer_FillInfo(view, self, e->data, e->len, 1, flags);
}
static inline void tsViewDealloc(PyObject *self) {
    Py_XDECREF(reinterpret_cast<TsViewExporter *>(self)->owner);
    PyObject_Del(self);
}
[[maybe_unused]] static PyBufferProcs tsViewBufferProcs = {tsViewGetBuffer, NULL};
[[maybe_unused]] static PyTypeObject tsViewExporterType = [] {
    PyTypeObject t = {};
    t.ob_base.ob_base.ob_refcnt = 1;
    t.tp_name = "tilestream.viewexporter";
    t.tp_basicsize = sizeof(TsViewExporter);
    t.tp_dealloc = tsViewDealloc;
    t.tp_as_buffer = &tsViewBufferProcs;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    return t;
}();
#define TS_VIEW_RESULT(exporter) PyMemoryView_FromObject(exporter)

#else  // CPython 2.7

#define TS_BYTES "s"
#define TS_HANDLE_TYPE PyCObject_Type
#define TS_STR_FROM_8BIT(s) PyString_FromString(s)
#define TS_FROM_LONG PyInt_FromLong
#define TS_AS_LONG PyInt_AsLong
#define TS_BYTES_FROM PyString_FromStringAndSize
#define TS_INIT_FUNC(name) PyMODINIT_FUNC init##name(void)
#define TS_INIT_RETURN(m) \
    do {                  \
        (void)(m);        \
        return;           \
    } while (0)
#define TS_INIT_FAIL(m) \
    do {                \
        (void)(m);      \
        return;         \
    } while (0)
#define TS_CREATE_MODULE(m, name, methods) (m) = Py_InitModule4(#name, methods, NULL, NULL, 1013)

// Opaque handles are PyCObjects whose description pointer is the handle kind
// (a static object of the module), so no other PyCObject passes for a handle.
struct TsHandleKind {
    const char *name;
    void (*destroy)(void *ptr);
};
static inline void tsHandleRelease(void *ptr, void *desc) { static_cast<TsHandleKind *>(desc)->destroy(ptr); }
static inline PyObject *tsHandleNew(void *ptr, TsHandleKind *kind) {
    return PyCObject_FromVoidPtrAndDesc(ptr, kind, tsHandleRelease);
}
// The wrapped pointer, or NULL (no exception set) when obj is not a handle of this kind.
static inline void *tsHandlePtr(PyObject *obj, TsHandleKind *kind) {
    if (Py_TYPE(obj) != &PyCObject_Type || PyCObject_GetDesc(obj) != kind) return NULL;
    return PyCObject_AsVoidPtr(obj);
}

// Read-only views over memory owned by another object: a buffer object over a
// small exporter (old-style read buffer procs) that keeps the owner alive, so
// the view never outlives the memory it shows. Nothing is copied.
struct TsViewExporter {
    PyObject_HEAD
    PyObject *owner;
    void *data;
    Py_ssize_t len;
};
static inline Py_ssize_t tsViewReadBuffer(PyObject *self, Py_ssize_t segment, void **ptr) {
    if (segment != 0) {
        PyErr_SetString(PyExc_SystemError, "accessing non-existent buffer segment");
        return -1;
    }
    TsViewExporter *e = reinterpret_cast<TsViewExporter *>(self);
    *ptr = e->data;
    return e->len;
}
static inline Py_ssize_t tsViewSegCount(PyObject *self, Py_ssize_t *lenp) {
    if (lenp) *lenp = reinterpret_cast<TsViewExporter *>(self)->len;
    return 1;
}
static inline Py_ssize_t tsViewCharBuffer(PyObject *self, Py_ssize_t segment, char **ptr) {
    return tsViewReadBuffer(self, segment, reinterpret_cast<void **>(ptr));
}
static inline void tsViewDealloc(PyObject *self) {
    Py_XDECREF(reinterpret_cast<TsViewExporter *>(self)->owner);
    PyObject_Del(self);
}
[[maybe_unused]] static PyBufferProcs tsViewBufferProcs = {tsViewReadBuffer, NULL, tsViewSegCount, tsViewCharBuffer,
                                          NULL, NULL};
[[maybe_unused]] static PyTypeObject tsViewExporterType = [] {
    PyTypeObject t = {};
    t.ob_refcnt = 1;
    t.tp_name = "tilestream.viewexporter";
    t.tp_basicsize = sizeof(TsViewExporter);
    t.tp_dealloc = tsViewDealloc;
    t.tp_as_buffer = &tsViewBufferProcs;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    return t;
}();
#define TS_VIEW_RESULT(exporter) PyBuffer_FromObject(exporter, 0, Py_END_OF_BUFFER)

#endif

// Common to both: readies the exporter type (once, from the module's entry point).
static inline int tsViewReady() { return PyType_Ready(&tsViewExporterType); }
// A read-only view of len bytes at data, valid as long as the view lives:
// the view holds a reference to owner, whose memory it shows.
static inline PyObject *tsReadOnlyView(PyObject *owner, void *data, Py_ssize_t len) {
    TsViewExporter *e = PyObject_New(TsViewExporter, &tsViewExporterType);
    if (!e) return NULL;
    Py_INCREF(owner);
    e->owner = owner;
    e->data = data;
    e->len = len;
    PyObject *view = TS_VIEW_RESULT(reinterpret_cast<PyObject *>(e));
    Py_DECREF(e);
    return view;
}

// The project's version (VERSION at the top of the tree, passed in by the
// build) as the module attribute __version__, beside the method table.
#ifndef TILESTREAM_VERSION
#define TILESTREAM_VERSION "unknown"
#endif
static inline int tsAddVersion(PyObject *module) {
    return PyModule_AddStringConstant(module, "__version__", TILESTREAM_VERSION);
}

#endif
