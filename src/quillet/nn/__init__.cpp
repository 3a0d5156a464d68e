// quillet.nn: the package of the layers, which also binds every layer,
// container and loss class of its modules (and Flatten), so that one line
// imports them all: `from quillet.nn import Plantrel, ReLU, Sequential`.
//
// The module uses multi-phase initialisation: the import system puts the
// package in sys.modules (with its __path__) before running exec_package, so
// the submodules it imports find their parent and import each other as usual.
#include "bind/bind.hpp"

using qb::Ref;

namespace {

const char* const SUBMODULES[] = {"quillet.nn.resampling", "quillet.nn.Lintrel",    "quillet.nn.Plantrel",
                                  "quillet.nn.Unfurlet",   "quillet.nn.pool",       "quillet.flatten",
                                  "quillet.nn.linear",     "quillet.nn.activation", "quillet.nn.batchnorm",
                                  "quillet.nn.dropout",    "quillet.nn.loss",       "quillet.nn.sequential",
                                  "quillet.nn.rnn"};

// Binds every class a module defines itself (not those it re-exports), in the
// order the module made them, and lists them in __all__.
void export_classes(PyObject* package, PyObject* all, const char* name) {
  Ref module = qb::check(PyImport_ImportModule(name));
  Ref modname = qb::str(name);
  PyObject* dict = PyModule_GetDict(module.get());  // borrowed
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyType_Check(value) || !PyUnicode_Check(key) || PyUnicode_READ_CHAR(key, 0) == '_') continue;
    Ref owner = qb::getattr(value, QB_ID(__module__));
    const int own = PyObject_RichCompareBool(owner.get(), modname.get(), Py_EQ);
    qb::check(own);
    if (!own) continue;
    qb::setattr(package, key, value);
    qb::check(PyList_Append(all, key));
  }
}

int exec_package(PyObject* m) {
  try {
    qb::set_package_path(m);  // before the submodules import: an editable install's loader sets none
    Ref all = qb::check(PyList_New(0));
    for (const char* name : SUBMODULES) export_classes(m, all.get(), name);
    qb::setattr(m, QB_ID(__all__), all);
    return 0;
  } catch (...) {
    qb::translate_exception();
    return -1;
  }
}

const char* const DOC =
    "The layers, containers and losses: every class of quillet.nn's modules (and quillet.flatten's Flatten),\n"
    "bound here too, so that `from quillet.nn import Plantrel, BatchNorm2d, ReLU, Linear, Sequential,\n"
    "CrossEntropyLoss` imports the very classes of the modules.";

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_package)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn", DOC, 0, nullptr, slots};

}  // namespace

PyMODINIT_FUNC PyInit_nn() { return PyModuleDef_Init(&module_def); }
