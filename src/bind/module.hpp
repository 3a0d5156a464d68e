// Modules and the plain classes they define.
//
// Every class is a genuine Python class made by calling `type(name, (object,),
// ns)`, whose methods are C method descriptors.  So a layer is indistinguishable
// from one written in Python: `__bases__ == (object,)`, state in the instance
// `__dict__`, default pickling and deep copies, `inspect.signature` from the
// text signature.
#pragma once

#include <initializer_list>

#include "bind/args.hpp"

namespace qb {

// Creates the plain class `module.name` with the docstring (may be null) and
// methods, binds it in the module and returns it (borrowed: the module keeps
// it alive).
PyObject* make_class(PyObject* module, const char* name, const char* doc, std::initializer_list<Method> methods);

// Module-level functions, builtins bound to the module (their `self`).
void add_functions(PyObject* module, std::initializer_list<Method> functions);

// `import numpy as np` into the module.
void bind_numpy(PyObject* module);
// `import <name>` bound under `as` in the module (e.g. os).
void bind_module(PyObject* module, const char* name, const char* as);
// `from <name> import *`, for each name in order: every public name, as no
// module here defines __all__.
void star_import(PyObject* module, std::initializer_list<const char*> names);

// Looks a name up in the module's globals, as a Python function body would.
Ref global(PyObject* module, PyObject* name);

// For modules that run a script when imported: `resolve(m, "np.random.seed")`
// looks the first name up in the module's globals and the rest as attributes;
// `set_global(m, "x", v)` binds a global.
Ref resolve(PyObject* module, const char* path);
void set_global(PyObject* module, const char* name, const Ref& value);
// `np.random.seed(seed)` through the module's own np.
void seed(PyObject* module, long long seed);

// Connects this module to the kernels of the `quillet` package module (see
// kernels/api.hpp), importing it if need be.
void connect_kernels();

// A module built from an __init__ source (the package modules: quillet,
// models.mlp, sandbox.*) gets its `__path__`, the folder of its own file, at
// creation.  The import system sets the same when the package is found by
// its file; loaders that map module names to files instead (an editable
// install's) leave an extension module's `__path__` unset, and its
// submodules could not be imported.
void set_package_path(PyObject* module);

// Runs `body` on a new module and returns it, or NULL with the error set.
// The package module itself, which owns the kernels, is made with `connect`
// false.
void init_numpy();
template <class F>
PyObject* init_module(PyModuleDef* def, F body, bool connect = true) {
  try {
    init_numpy();
    if (connect) connect_kernels();
    Ref m = check(PyModule_Create(def));
    set_package_path(m.get());
    body(m.get());
    return m.release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

}  // namespace qb
