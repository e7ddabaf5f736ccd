/* A CPython interpreter program over a shared libpython, for the builds of
 * other ABIs (cmake/interpreters.txt).
 *
 * Debian ships a 32-bit libpython3.11 (libpython3.11-dev:i386, Multi-Arch:
 * same) but no 32-bit python3 program that can sit beside the 64-bit one;
 * built with -m32 against that library, this is one: same sys.prefix, same
 * sys.path (so the system's pytest imports), 4-byte pointers. Built against
 * an interpreter unpacked from another Debian suite or architecture, it
 * finds that one's standard library through TILESTREAM_PYTHON_HOME (its
 * prefix) and its libraries through the run path the build gives it, so it
 * needs no environment: a child started as sys.executable is the same
 * interpreter, and an emulator (qemu-i386, qemu-aarch64) runs it as any
 * other program of the build. */
#include <Python.h>

#if PY_MAJOR_VERSION >= 3

int main(int argc, char **argv) {
#ifdef TILESTREAM_PYTHON_HOME
    PyStatus status;
    PyConfig config;

    PyConfig_InitPythonConfig(&config);
    status = PyConfig_SetBytesString(&config, &config.home, TILESTREAM_PYTHON_HOME);
    if (!PyStatus_Exception(status))
        status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status))
        Py_ExitStatusException(status);
    return Py_RunMain();
#else
    return Py_BytesMain(argc, argv);
#endif
}

#else /* CPython 2.7 */

int main(int argc, char **argv) {
#ifdef TILESTREAM_PYTHON_HOME
    static char home[] = TILESTREAM_PYTHON_HOME;

    Py_SetPythonHome(home);
#endif
    return Py_Main(argc, argv);
}

#endif
