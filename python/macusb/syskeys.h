// The Mac's own keyboard through a Quartz event tap: the last two rows of
// macusb's method table and the flag constants the reports are read with.
#ifndef MACUSB_SYSKEYS_H
#define MACUSB_SYSKEYS_H

#include "pycompat.h"

extern const char syskeysSetupDoc[];
extern const char syskeysDisableDoc[];

PyObject *syskeysSetup(PyObject *self, PyObject *args);
PyObject *syskeysDisable(PyObject *self, PyObject *args);

// Publishes the flag masks and the modifier-change event type.
void syskeysAddConstants(PyObject *module);

#endif
