// sandbox.pellory: importing it loads the scanning-network models (and with
// them everything they import) into its namespace; nothing more.
#include "bind/bind.hpp"

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "sandbox.pellory", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_pellory() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::bind_numpy(m);
    qb::star_import(m, {"models.trawlix"});
  });
}
