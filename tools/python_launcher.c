/* A CPython 3 interpreter program over the system's shared libpython.
 *
 * Debian ships a 32-bit libpython3.11 (libpython3.11-dev:i386, Multi-Arch:
 * same) but no 32-bit python3 program that can sit beside the 64-bit one.
 * Built with -m32 against that library, this is one: same sys.prefix, same
 * sys.path (so the system's pytest imports), 4-byte pointers. The i386 build
 * runs its Python tests and the 32-bit clients of the device beds with it. */
#include <Python.h>

int main(int argc, char **argv) {
    return Py_BytesMain(argc, argv);
}
