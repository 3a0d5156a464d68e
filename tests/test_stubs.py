"""Every extension module ships a .pyi stub beside it that names everything the
module binds, and whose classes declare the runtime methods with the same
parameters and defaults."""

import ast
import importlib
import inspect
import os
import pathlib
from importlib.machinery import EXTENSION_SUFFIXES

import pytest

TOP = ["quillet", "models", "sandbox"]


def package_files(top):  # (package, directory, file name) of the package and its subpackages
    for root in importlib.import_module(top).__path__:
        for d, dirs, files in os.walk(root):
            dirs[:] = [x for x in dirs if x != "__pycache__"]
            rel = os.path.relpath(d, root)
            package = top if rel == "." else ".".join([top, *rel.split(os.sep)])
            yield from ((package, d, f) for f in files)


FILES = [entry for top in TOP for entry in package_files(top)]


def module_name(package, file):  # a package's __init__ is the package itself
    stem = file.split(".")[0]
    return package if stem == "__init__" else f"{package}.{stem}"


EXTENSIONS = sorted(module_name(p, f) for p, _, f in FILES if f.endswith(tuple(EXTENSION_SUFFIXES)))
STUBS = {module_name(p, f): os.path.join(d, f) for p, d, f in FILES if f.endswith(".pyi")}


def test_one_stub_per_extension_module_and_typed_packages():
    assert set(STUBS) == set(EXTENSIONS) and len(EXTENSIONS) >= 19  # none missing, none orphaned
    assert set(TOP) <= {p for p, _, f in FILES if f == "py.typed"}


def bound(node):  # names a top-level statement of a stub binds
    if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
        return [node.name]
    if isinstance(node, (ast.Import, ast.ImportFrom)):
        return [(a.asname or a.name).split(".")[0] for a in node.names]
    return [t.id for t in getattr(node, "targets", [getattr(node, "target", None)]) if isinstance(t, ast.Name)]


def params(fn):
    a, empty = fn.args, inspect.Parameter.empty
    pos = a.posonlyargs + a.args
    defaults = [empty] * (len(pos) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    kw = [empty if d is None else ast.literal_eval(d) for d in a.kw_defaults]
    star = [(a.vararg.arg, empty)] if a.vararg else []  # *layers
    return [(p.arg, d) for p, d in zip(pos, defaults)] + star + [(p.arg, d) for p, d in zip(a.kwonlyargs, kw)]


# The special methods a stub declares where a class defines them (the others,
# such as __repr__, type checkers know from object).
PROTOCOL = ("__init__", "__call__", "__len__", "__getitem__", "__iter__", "__enter__", "__exit__")

# Modules that need an optional extra, and the package it provides.
NEEDS = {"quillet.distributed": "mpi4py"}


@pytest.mark.parametrize("name", EXTENSIONS)
def test_stub_matches_module(name):
    if name in NEEDS:
        pytest.importorskip(NEEDS[name])
    mod, tree = importlib.import_module(name), ast.parse(pathlib.Path(STUBS[name]).read_text())
    names = {n for node in tree.body for n in bound(node)}
    submodules = {n for n, v in vars(mod).items() if getattr(v, "__name__", None) == f"{name}.{n}"}
    assert {n for n in vars(mod) if not n.startswith("_")} - submodules <= names
    for cls in (c for c in tree.body if isinstance(c, ast.ClassDef) and not c.name.startswith("_")):
        runtime = getattr(mod, cls.name)
        assert runtime.__module__ == name  # a re-exported class is imported, not redeclared
        stub = {f.name: params(f) for f in cls.body if isinstance(f, ast.FunctionDef)}
        methods = {m: f for m, f in vars(runtime).items() if callable(f) and (not m.startswith("_") or m in PROTOCOL)}
        assert set(stub) == set(methods), cls.name
        for m, f in methods.items():
            got = [(p.name, p.default) for p in inspect.signature(f).parameters.values()]
            assert stub[m] == got, f"{cls.name}.{m}"
