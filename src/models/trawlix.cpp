// models.trawlix: the classes of quillet.models.trawlix under their first import path.
// They live in quillet.models.trawlix, which a project with a `models` package of
// its own can still import; this module binds the very same objects.
#include "bind/bind.hpp"

namespace {
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "models.trawlix", nullptr, -1, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_trawlix() {
  return qb::init_module(&module_def, [](PyObject* m) { qb::star_import(m, {"quillet.models.trawlix"}); });
}
