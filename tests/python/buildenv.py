"""What a configured build tree is, as CMake wrote it at configure time
(BUILD/tilestream.env, cmake/PythonModules.cmake): how its programs run here
and, per interpreter id, its program, what it is and how its tests run. The
scripts that drive a tree read it through this module (shell scripts source
the file). Runs under Python 2.7 and 3."""
import os
import shlex

FILE = "tilestream.env"


def read(build):
    """The tree's settings as a dict of strings, or None when the tree was
    never configured."""
    path = os.path.join(build, FILE)
    try:
        with open(path) as f:
            text = f.read()
    except (IOError, OSError):
        return None
    values = {}
    for line in text.splitlines():
        if not line or line.startswith("#") or "=" not in line:
            continue
        name, _, quoted = line.partition("=")
        words = shlex.split(quoted)
        values[name] = words[0] if words else ""
    return values


def runner(values):
    """The command prefix that runs the tree's programs here (a list)."""
    return values.get("TILESTREAM_TARGET_RUNNER", "").split()


def interpreters(values):
    """One dict per interpreter of the tree, in its order: id, label,
    executable, command (runner and executable), modules, tests."""
    out = []
    for ident in values.get("TILESTREAM_PYTHON_IDS", "").split():
        exe = values.get("PYTHON%s_EXECUTABLE" % ident, "")
        out.append(dict(id=ident, label=values.get("PYTHON%s_LABEL" % ident, ""),
                        executable=exe, command=runner(values) + [exe],
                        modules=values.get("PYTHON%s_MODULES" % ident, ""),
                        tests=values.get("PYTHON%s_TESTS" % ident, "")))
    return out
