"""Client side of the umockdev bed, run under CPython 2.7 or 3 with the
preload: executes one line of Python per request read from stdin (a JSON
string) in a persistent namespace, and answers each with one JSON line on
stdout. An expression's value comes back as its repr; an exception as its
type, errno and args."""
import gc
import hashlib
import json
import os
import sys
import threading
import time
import traceback

import bulkvideo

NODE = sys.argv[1]


def info(view):
    """What the test needs to know about a buffer readVideo returned."""
    data = bytes(view) if sys.version_info[0] >= 3 else str(view)
    if sys.version_info[0] >= 3:
        readonly = view.readonly
    else:
        try:
            view[0:0] = ""
            readonly = False
        except TypeError:
            readonly = True
    return {"type": type(view).__name__, "len": len(data), "readonly": readonly,
            "sha1": hashlib.sha1(data).hexdigest()}


def describe(exc):
    return {"exc": type(exc).__name__, "ioerror": isinstance(exc, IOError),
            "errno": getattr(exc, "errno", None), "args": repr(exc.args)}


class Background(object):
    """A call on another thread; result() waits for it."""

    def __init__(self, fn):
        self.value = self.error = None
        self.thread = threading.Thread(target=self._run, args=(fn,))
        self.thread.daemon = True
        self.thread.start()

    def _run(self, fn):
        try:
            self.value = fn()
        except BaseException as e:  # reported to the test
            self.error = e

    def result(self, timeout=10.0):
        self.thread.join(timeout)
        if self.thread.is_alive():
            raise RuntimeError("background call still running")
        if self.error is not None:
            raise self.error
        return self.value


def foreign_handle():
    """An opaque pointer object of the interpreter's handle type that this
    module did not make (on 3 even under the handle's capsule name)."""
    import ctypes
    api = ctypes.pythonapi
    if sys.version_info[0] >= 3:
        api.PyCapsule_New.restype = ctypes.py_object
        api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return api.PyCapsule_New(ctypes.c_void_p(4096), b"bulkvideo.handle", None)
    api.PyCObject_FromVoidPtr.restype = ctypes.py_object
    api.PyCObject_FromVoidPtr.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    return api.PyCObject_FromVoidPtr(ctypes.c_void_p(4096), None)


namespace = {"bulkvideo": bulkvideo, "os": os, "gc": gc, "time": time, "sys": sys,
             "NODE": NODE, "info": info, "Background": Background,
             "foreign_handle": foreign_handle}


def main():
    while True:
        line = sys.stdin.readline()
        if not line:
            return
        code = json.loads(line)
        try:
            try:
                compiled = compile(code, "<request>", "eval")
                reply = {"value": repr(eval(compiled, namespace))}
            except SyntaxError:
                exec(compile(code, "<request>", "exec"), namespace)
                reply = {"value": "None"}
        except Exception as e:
            reply = describe(e)
            reply["trace"] = traceback.format_exc()
        sys.stdout.write(json.dumps(reply) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
