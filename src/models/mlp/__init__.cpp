// models.mlp: the MLP of quillet.models.mlp under its first import path (and
// `python -m models.mlp`, see __main__.py).  The class lives in
// quillet.models.mlp, which a project with a `models` package of its own can
// still import; this module binds the very same objects.
#include "bind/bind.hpp"

namespace {
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "models.mlp", nullptr, -1, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_mlp() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::star_import(m, {"quillet.models.mlp"});
    qb::Ref source = qb::check(PyImport_ImportModule("quillet.models.mlp"));
    qb::setattr(m, QB_ID(_main), qb::getattr(source.get(), QB_ID(_main)));
  });
}
