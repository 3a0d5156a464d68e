// quillet: the package module.  It owns the kernels (see kernels/api.hpp):
// the other modules of the package connect to the table it exports.  It also
// holds what is process-wide: the thread count and the configuration report.
#include <cstdlib>
#include <cstring>
#include <string>

#include "bind/bind.hpp"
#include "kernels/runtime.hpp"

using qb::Ref;

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0+unknown"
#endif
#ifndef QUILLET_CXX_FLAGS
#define QUILLET_CXX_FLAGS ""
#endif

namespace {

const char* const DOC =
    "Neural-network layers whose forward and backward passes you can read, at native speed.\n\n"
    "The layers live in quillet.nn (resampling, Lintrel, Plantrel, Unfurlet, pool, linear, activation,\n"
    "batchnorm, dropout, loss, sequential; quillet.nn itself binds every one of their classes) and\n"
    "quillet.flatten; initialisers in quillet.init, models in quillet.models, and quillet.optim,\n"
    "quillet.gradcheck and quillet.state; every one of them is a compiled extension module.  This module\n"
    "holds the process-wide settings: set_num_threads, get_num_threads and show_config.";

long long positive_threads(PyObject* n) {
  if (!PyLong_Check(n) || PyBool_Check(n)) qb::fail(PyExc_TypeError, "n must be an integer, got %R", n);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (overflow || v < 1 || v > 4096) qb::fail(PyExc_ValueError, "n must be between 1 and 4096, got %R", n);
  return v;
}

Ref set_num_threads(PyObject*, PyObject* n) {
  const int threads = static_cast<int>(positive_threads(n));
  qb::NoGil nogil;  // waits for a loop in flight on another thread
  qk::set_num_threads(threads);
  return {};
}

Ref get_num_threads(PyObject*) { return qb::py_int(qk::num_threads()); }

// QUILLET_NUM_THREADS, read once at import.
void threads_from_environment() {
  const char* text = std::getenv("QUILLET_NUM_THREADS");
  if (!text || !*text) return;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*end || v < 1 || v > 4096)
    qb::fail(PyExc_ValueError, "QUILLET_NUM_THREADS must be a whole number from 1 to 4096, got '%s'", text);
  qk::set_num_threads(static_cast<int>(v));
}

// The instruction-set level in use: the best the CPU runs, or the one
// QUILLET_ISA names (read once, at import).
const qk::Level* g_level = nullptr;

std::string level_names(bool supported_only) {
  std::string names;
  for (const qk::Level& l : qk::levels())
    if (l.supported || !supported_only) names += std::string(names.empty() ? "" : ", ") + l.name;
  return names;
}

const qk::Level& choose_level() {
  const char* wanted = std::getenv("QUILLET_ISA");
  const qk::Level* best = nullptr;
  for (const qk::Level& l : qk::levels())
    if (l.supported) best = &l;
  if (!wanted || !*wanted) return *best;
  for (const qk::Level& l : qk::levels()) {
    if (std::strcmp(l.name, wanted) != 0) continue;
    if (!l.supported)
      qb::fail(PyExc_ImportError, "QUILLET_ISA=%s: this CPU does not support %s (it runs %s)", wanted, wanted,
               level_names(true).c_str());
    return l;
  }
  qb::fail(PyExc_ImportError, "QUILLET_ISA=%s: this build of quillet has no such level (it has %s)", wanted,
           level_names(false).c_str());
}

Ref isa(PyObject*) {
  Ref compiled = qb::check(PyList_New(0)), supported = qb::check(PyList_New(0));
  for (const qk::Level& l : qk::levels()) {
    qb::check(PyList_Append(compiled.get(), qb::str(l.name).get()));
    if (l.supported) qb::check(PyList_Append(supported.get(), qb::str(l.name).get()));
  }
  return qb::check(Py_BuildValue("{s:s,s:O,s:O}", "in_use", g_level->name, "compiled", compiled.get(), "supported",
                                 supported.get()));
}

Ref force_conv_path(PyObject*, PyObject* path) {
  static const char* const names[] = {"direct", "blocked", "blas"};
  int chosen = -1;
  if (path != Py_None) {
    const char* text = PyUnicode_Check(path) ? PyUnicode_AsUTF8(path) : nullptr;
    for (int i = 0; i < 3 && text; ++i)
      if (std::strcmp(text, names[i]) == 0) chosen = i;
    if (chosen < 0) qb::fail(PyExc_ValueError, "path must be None, 'direct', 'blocked' or 'blas', got %R", path);
  }
  const int before = qk::forced_conv_path();
  qk::force_conv_path(chosen);
  return before < 0 ? Ref::borrow(Py_None) : qb::str(names[before]);
}

std::string compiler() {
#if defined(__clang__)
  return std::string("Clang ") + __clang_version__;
#elif defined(__GNUC__)
  return std::string("GCC ") + __VERSION__;
#else
  return "unknown";
#endif
}

std::string text_of(PyObject* o) {
  Ref s = qb::check(PyObject_Str(o));
  const char* t = PyUnicode_AsUTF8(s.get());
  if (!t) throw qb::Error{};
  return t;
}

// What NumPy says of the BLAS it was built with (NumPy 1.26 and newer).
std::string blas_description(PyObject* np) {
  Ref show = qb::getattr(np, QB_ID(show_config));
  Ref mode = qb::str("dicts");
  PyObject* config = PyObject_Call(show.get(), Ref(qb::check(PyTuple_New(0))).get(),
                                   Ref(qb::check(Py_BuildValue("{s:O}", "mode", mode.get()))).get());
  if (config) {
    Ref c = Ref::steal(config);
    PyObject* deps = PyDict_Check(c.get()) ? PyDict_GetItemString(c.get(), "Build Dependencies") : nullptr;
    PyObject* blas = deps && PyDict_Check(deps) ? PyDict_GetItemString(deps, "blas") : nullptr;
    PyObject* name = blas && PyDict_Check(blas) ? PyDict_GetItemString(blas, "name") : nullptr;
    PyObject* version = blas && PyDict_Check(blas) ? PyDict_GetItemString(blas, "version") : nullptr;
    if (name) return text_of(name) + (version ? " " + text_of(version) : "");
  }
  PyErr_Clear();
  return "not reported by this NumPy";
}

// A line for show_config when the system refused a worker thread: the loops
// then run on fewer threads than the count says.
std::string worker_trouble() {
  const int error = qk::worker_start_error();
  if (!error) return "";
  return "  worker threads: " + std::to_string(qk::running_workers()) + " running; another could not be started (" +
         std::strerror(error) + "), loops use the threads there are\n";
}

Ref show_config(PyObject*) {
  Ref np = qb::check(PyImport_ImportModule("numpy"));
  const std::string text =
      std::string("quillet ") + QUILLET_VERSION + "\n" + "  compiler:      " + compiler() + "\n" +
      "  flags:         " + QUILLET_CXX_FLAGS + "\n" + "  instruction sets: in use " + g_level->name + "; compiled " +
      level_names(false) + "; this CPU runs " + level_names(true) + " (QUILLET_ISA selects a lower one)\n" +
      "  threads:       " + std::to_string(qk::num_threads()) + " (default " +
      std::to_string(qk::default_num_threads()) +
      ": the available cores; QUILLET_NUM_THREADS or quillet.set_num_threads)\n" + worker_trouble() +
      "  numpy:         " + text_of(qb::getattr(np.get(), QB_ID(__version__)).get()) + "\n" +
      "  BLAS:          " + blas_description(np.get()) + " (NumPy's, for the largest products)";
  qb::print({qb::str(text.c_str()).get()});
  return {};
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet", DOC, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quillet() {
  return qb::init_module(
      &module_def,
      [](PyObject* m) {
        g_level = &choose_level();
        const qk::Api* api = g_level->api;
        qk::connect(api);
        qb::set_global(m, "_kernels", qb::check(PyCapsule_New(const_cast<qk::Api*>(api), qk::kCapsuleName, nullptr)));
        qb::set_global(m, "__version__", qb::str(QUILLET_VERSION));
        threads_from_environment();
        qb::add_functions(
            m,
            {{"set_num_threads", "n",
              "Sets the number of threads the kernels use (1: no worker threads at all).\n\n"
              "The default is one per available core, counting the process's CPU affinity mask and its\n"
              "cgroup CPU quota; the environment variable QUILLET_NUM_THREADS, read at import, sets it too.",
              set_num_threads},
             {"get_num_threads", "", "The number of threads the kernels use.", get_num_threads},
             {"show_config", "",
              "Prints what a bug report needs: versions, compiler and flags, instruction sets, threads and "
              "the BLAS.",
              show_config},
             {"_isa", "", "The instruction-set levels: the one in use, those compiled in, those this CPU runs.", isa},
             {"_force_conv_path", "path",
              "Test hook: makes every convolution take one strategy ('direct', 'blocked', 'blas') or, for "
              "None, the one chosen by size.  Returns the previous setting.",
              force_conv_path}});
      },
      false);
}
