"""The C++ sources use CPython's public C API only, so a wheel keeps working
with the interpreter releases its tag promises.

    python3 tools/check_capi.py            # every .cpp/.hpp under src/
    python3 tools/check_capi.py FILE...    # just these

Fails on
* any private name (a leading underscore: _PyType_..., _Py_...), whether it
  is called, declared by hand or looked up as a string;
* the error-indicator calls that Python 3.12 deprecated (PyErr_Fetch,
  PyErr_Restore, PyErr_NormalizeException) outside a branch compiled only
  below 3.12 (`#if PY_VERSION_HEX < 0x030C0000`, or the `#else` of
  `>= 0x030C0000`): qb::SavedError in src/bind/ref.hpp wraps both forms.

Comments are ignored.  Prints one line per finding and exits 1 if there is any.
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRIVATE = re.compile(r"(?<![A-Za-z0-9_])_Py[A-Za-z_]\w*")
DEPRECATED_312 = re.compile(r"\b(PyErr_Fetch|PyErr_Restore|PyErr_NormalizeException)\b")
VERSION = re.compile(r"PY_VERSION_HEX\s*(<|>=)\s*(0x[0-9A-Fa-f]+)")
PY312 = 0x030C0000

# Files still on the deprecated calls, on their way to qb::SavedError.  Their
# uses are listed as notes, not failures; an entry whose file no longer needs
# it fails, so the list only shrinks.
PENDING: set[str] = set()


def strip_comments(text):
    """text with // and /* */ comments blanked (line breaks kept), string and
    character literals left as they are."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i : j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def below_312(condition, in_else):
    """Whether the branch of `#if condition` (its #else when in_else) is
    compiled only for Python versions below 3.12."""
    m = VERSION.search(condition)
    if not m or re.search(r"&&|\|\||!", condition.replace("!=", "")):
        return False
    op, value = m.group(1), int(m.group(2), 16)
    return (op == "<" and value <= PY312 and not in_else) or (op == ">=" and value >= PY312 and in_else)


def findings(path, text):
    """(line number, message) for every problem in one source file."""
    found = []
    stack = []  # [condition, in_else] per open #if
    for number, line in enumerate(strip_comments(text).splitlines(), 1):
        directive = re.match(r"\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b(.*)", line)
        if directive:
            kind, rest = directive.groups()
            if kind in ("if", "ifdef", "ifndef"):
                stack.append([rest if kind == "if" else "", False])
            elif kind == "elif" and stack:
                stack[-1] = [rest, False]
            elif kind == "else" and stack:
                stack[-1][1] = True
            elif kind == "endif" and stack:
                stack.pop()
            if kind not in ("if", "elif"):
                continue
        for m in PRIVATE.finditer(line):
            found.append((number, f"private CPython name {m.group(0)}"))
        guarded = any(below_312(condition, in_else) for condition, in_else in stack)
        for m in DEPRECATED_312.finditer(line):
            if not guarded:
                found.append((number, f"{m.group(1)} is deprecated since Python 3.12: use qb::SavedError"))
    return found


def sources(root=ROOT):
    for folder, _, names in os.walk(os.path.join(root, "src")):
        for name in sorted(names):
            if name.endswith((".cpp", ".hpp", ".h", ".cc")):
                yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def main(argv):
    paths = argv or sorted(sources())
    problems = notes = 0
    for path in paths:
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            found = findings(path, f.read())
        deprecated = [(n, m) for n, m in found if "deprecated" in m]
        for number, message in found:
            if path in PENDING and (number, message) in deprecated:
                print(f"{path}:{number}: note: {message}")
                notes += 1
            else:
                print(f"{path}:{number}: {message}")
                problems += 1
        if path in PENDING and not deprecated and not argv:
            print(f"{path}: no deprecated calls left: remove it from PENDING in tools/check_capi.py")
            problems += 1
    print(f"check_capi: {len(paths)} files, {problems} problems, {notes} pending notes")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
