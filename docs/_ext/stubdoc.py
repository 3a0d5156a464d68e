"""Add what the type stubs say to autodoc's pages for quillet's compiled modules.

The compiled modules carry docstrings and plain text signatures; the ``.pyi``
stubs installed beside them carry the types and the attributes each instance
keeps.  This extension reads the stub of every module autodoc documents and

* gives classes and methods the stub's annotated signature, after checking
  that its parameter names are those of the compiled code (a mismatch is a
  warning, hence an error under ``-W``);
* appends the instance attributes a class's stub declares (``W``, ``dLdW``,
  ``A``, ...) to the class's entry, with their types;
* lets autodoc read the stubs of the modules listed in ``stubdoc_modules`` as
  those modules' source, so ``autodoc_member_order = "bysource"`` follows the
  stubs (classes as declared, ``forward`` before ``backward``).  The modules
  themselves stay the compiled ones, with their docstrings.
"""

import ast
import copy
import importlib
import inspect
import os
import sys

from sphinx.pycode import ModuleAnalyzer
from sphinx.util import logging

logger = logging.getLogger(__name__)

_cache = {}


class Stub:
    """The classes, methods and attributes of one module's ``.pyi`` file."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
        self.path = path
        self.functions = {}  # qualified name -> ast.FunctionDef
        self.attributes = {}  # class name -> [(name, annotation text)]
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                self.attributes[node.name] = []
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        self.functions[f"{node.name}.{item.name}"] = item
                    elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                        self.attributes[node.name].append((item.target.id, ast.unparse(item.annotation)))


def stub_for(modname):
    """The stub of an imported compiled module, looked up on its package's path."""
    if modname in _cache:
        return _cache[modname]
    stub = None
    module = sys.modules.get(modname)
    package, _, leaf = modname.rpartition(".")
    folders = []
    if module is not None and getattr(module, "__file__", None):
        folders.append(os.path.dirname(module.__file__))
    if package:
        # An editable install keeps the stubs in the source tree, which is on
        # the package's __path__ next to the folder of the compiled modules.
        folders += list(getattr(importlib.import_module(package), "__path__", []))
    # A package whose __init__ is the compiled module has its stub as __init__.pyi.
    names = ["__init__.pyi"] if module is not None and hasattr(module, "__path__") else [leaf + ".pyi"]
    for folder in folders:
        path = os.path.join(folder, names[0])
        if os.path.isfile(path):
            stub = Stub(path)
            break
    _cache[modname] = stub
    return stub


def _parameters(fn, drop_self):
    args = copy.deepcopy(fn.args)
    if drop_self:
        if args.posonlyargs:
            args.posonlyargs.pop(0)
        elif args.args:
            args.args.pop(0)
    return args


def _names(args):
    names = [a.arg for a in args.posonlyargs + args.args]
    if args.vararg:
        names.append("*" + args.vararg.arg)
    names += [a.arg for a in args.kwonlyargs]
    if args.kwarg:
        names.append("**" + args.kwarg.arg)
    return names


def _runtime_names(obj):
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    names = []
    for p in sig.parameters.values():
        prefix = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        names.append(prefix + p.name)
    return names


def _module_of(name):
    """The longest leading part of a dotted name that is an imported module."""
    parts = name.split(".")
    for i in range(len(parts) - 1, 0, -1):
        candidate = ".".join(parts[:i])
        if candidate in sys.modules:
            return candidate
    return None


def process_signature(app, what, name, obj, options, signature, return_annotation):
    if what not in ("class", "method", "function"):
        return None
    modname = _module_of(name)
    if what == "class" and getattr(obj, "__module__", None) != modname:
        return None  # imported from another module: autodoc leaves it out
    stub = stub_for(modname) if modname else None
    if stub is None:
        return None
    qualname = name[len(modname) + 1 :]
    key = f"{qualname}.__init__" if what == "class" else qualname
    fn = stub.functions.get(key)
    runtime = _runtime_names(obj)
    if runtime is not None and what == "method":
        runtime = runtime[1:]  # an unbound method's signature starts with self
    if fn is None:
        if what == "class" and qualname in stub.attributes and not runtime:
            return None  # a class that takes no arguments needs no __init__ in its stub
        logger.warning("%s: the type stub %s does not declare %s", name, stub.path, key)
        return None
    args = _parameters(fn, drop_self=(what != "function"))
    if runtime is not None and runtime != _names(args):
        logger.warning(
            "%s: the compiled signature (%s) and the stub's (%s) in %s differ",
            name,
            ", ".join(runtime),
            ", ".join(_names(args)),
            stub.path,
        )
        return None
    returns = None if what == "class" or fn.returns is None else ast.unparse(fn.returns)
    return f"({ast.unparse(args)})", returns


def process_docstring(app, what, name, obj, options, lines):
    if what != "class":
        return
    modname = _module_of(name)
    stub = stub_for(modname) if modname else None
    if stub is None:
        return
    attributes = stub.attributes.get(name[len(modname) + 1 :], [])
    if not attributes:
        return
    if lines and lines[-1].strip():
        lines.append("")
    lines += [".. rubric:: Attributes", ""]
    for attr, annotation in attributes:
        lines += [f".. py:attribute:: {attr}", f"   :type: {annotation}", ""]


def use_stubs_as_source(app):
    for modname in app.config.stubdoc_modules:
        importlib.import_module(modname)
        stub = stub_for(modname)
        if stub is None:
            logger.warning("stubdoc: no type stub found for %s", modname)
        elif ("module", modname) not in ModuleAnalyzer.cache:
            ModuleAnalyzer.cache["module", modname] = ModuleAnalyzer.for_file(stub.path, modname)


def setup(app):
    app.add_config_value("stubdoc_modules", [], "env")
    app.connect("builder-inited", use_stubs_as_source)
    app.connect("autodoc-process-signature", process_signature)
    app.connect("autodoc-process-docstring", process_docstring)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
