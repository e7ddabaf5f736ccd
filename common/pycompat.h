// The differences between the CPython 2.7 and 3 extension APIs, one block
// each, so that module sources read the same for both interpreters.
#ifndef TILESTREAM_PYCOMPAT_H
#define TILESTREAM_PYCOMPAT_H

#include <Python.h>

#if PY_MAJOR_VERSION >= 3

// Binary results are bytes; "y" builds them, "s" would build str.
#define TS_BYTES "y"
#define TS_FROM_LONG PyLong_FromLong
#define TS_INIT_FUNC(name) PyMODINIT_FUNC PyInit_##name(void)
#define TS_INIT_RETURN(m) return (m)
// Creates the module over its method table, no doc string, no per-module state.
#define TS_CREATE_MODULE(m, name, methods)                                               \
    static struct PyModuleDef name##_moduledef = {PyModuleDef_HEAD_INIT, #name, NULL, -1, \
                                                  methods, NULL, NULL, NULL, NULL};      \
    (m) = PyModule_Create(&name##_moduledef)

#else  // CPython 2.7

#define TS_BYTES "s"
#define TS_FROM_LONG PyInt_FromLong
#define TS_INIT_FUNC(name) PyMODINIT_FUNC init##name(void)
#define TS_INIT_RETURN(m) \
    do {                  \
        (void)(m);        \
        return;           \
    } while (0)
#define TS_CREATE_MODULE(m, name, methods) (m) = Py_InitModule4(#name, methods, NULL, NULL, 1013)

#endif

#endif
