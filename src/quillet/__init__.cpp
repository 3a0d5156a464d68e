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
  static const char* const names[] = {"direct", "blocked", "blas", "winograd"};
  int chosen = -1;
  if (path != Py_None) {
    const char* text = PyUnicode_Check(path) ? PyUnicode_AsUTF8(path) : nullptr;
    for (int i = 0; i < 4 && text; ++i)
      if (std::strcmp(text, names[i]) == 0) chosen = i;
    if (chosen < 0)
      qb::fail(PyExc_ValueError, "path must be None, 'direct', 'blocked', 'blas' or 'winograd', got %R", path);
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

// ---------------------------------------------------------------- the default dtype

// The context variable holding numpy.float64 or numpy.float32: every thread
// and asyncio task sees its own value (src/layer reads it on every call).
PyObject* g_dtype_var = nullptr;

// numpy.float32 or numpy.float64 for anything numpy.dtype() reads as one of
// them; TypeError or ValueError otherwise.
Ref floating_type(PyObject* dtype) {
  const char* const wanted = "the default dtype must be numpy.float32 or numpy.float64, got %R";
  if (dtype == Py_None) qb::fail(PyExc_TypeError, wanted, dtype);
  Ref make = qb::numpy_attr(QB_ID(dtype));
  PyObject* d = PyObject_CallOneArg(make.get(), dtype);
  if (!d) {
    PyErr_Clear();
    qb::fail(PyExc_TypeError, wanted, dtype);
  }
  Ref descr = Ref::steal(d);
  Ref type = qb::getattr(descr.get(), QB_ID(type));
  if (type.get() != qb::numpy_attr(QB_ID(float32)).get() && type.get() != qb::numpy_attr(QB_ID(float64)).get())
    qb::fail(PyExc_ValueError, wanted, dtype);
  return type;
}

Ref set_default_dtype(PyObject*, PyObject* dtype) {
  Ref type = floating_type(dtype);
  Ref token = qb::check(PyContextVar_Set(g_dtype_var, type.get()));
  return {};
}

Ref get_default_dtype(PyObject*) {
  PyObject* value = nullptr;
  if (PyContextVar_Get(g_dtype_var, nullptr, &value) < 0) throw qb::Error{};
  return Ref::steal(value);
}

// default_dtype(dtype): a context manager setting the default dtype for its
// block; it restores the previous one on leaving, exceptions included.
Ref scope_init(PyObject* self, PyObject* dtype) {
  qb::setattr(self, QB_ID(dtype), floating_type(dtype));
  qb::setattr(self, QB_ID(_tokens), qb::check(PyList_New(0)));
  return {};
}

Ref scope_enter(PyObject* self) {
  Ref type = qb::getattr(self, QB_ID(dtype));
  Ref checked = floating_type(type.get());
  Ref token = qb::check(PyContextVar_Set(g_dtype_var, checked.get()));
  Ref tokens = qb::getattr(self, QB_ID(_tokens));
  qb::check(PyList_Append(tokens.get(), token.get()));
  return checked;
}

Ref scope_exit(PyObject* self, PyObject*, PyObject*, PyObject*) {
  Ref tokens = qb::getattr(self, QB_ID(_tokens));
  const Py_ssize_t n = PyList_Check(tokens.get()) ? PyList_GET_SIZE(tokens.get()) : 0;
  if (n == 0) qb::fail(PyExc_RuntimeError, "default_dtype: __exit__ without a matching __enter__");
  Ref token = Ref::borrow(PyList_GET_ITEM(tokens.get(), n - 1));
  qb::check(PySequence_DelItem(tokens.get(), n - 1));
  qb::check(PyContextVar_Reset(g_dtype_var, token.get()));
  return Ref::borrow(Py_False);
}

const char* const SCOPE_DOC = R"(Sets the default dtype for a block: `with quillet.default_dtype(np.float32): ...`.

Layers made inside the block hold float32 parameters, and every call inside
it computes in float32 (a float64 layer included: its parameters are read as
float32 values).  The previous default comes back when the block ends, also
on an exception.  The setting lives in a context variable, so each thread and
asyncio task has its own.

The layers of quillet.nn (convolutions, transposed convolutions,
resampling, pooling, Linear, the activations, Dropout, BatchNorm and the
losses) and the models follow it: outputs and gradients are float32, sums of
many terms (batch statistics, losses) are accumulated in double, and results
that are views of their argument (downsampling, Flatten) keep its dtype.  The
recurrent layers and the optimizers still compute in float64.

Arguments:
    dtype: numpy.float32 or numpy.float64 (or anything numpy.dtype() reads
        as one of them).)";

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
        Ref float64 = qb::numpy_attr(QB_ID(float64));
        g_dtype_var = qb::check(PyContextVar_New("quillet.default_dtype", float64.get())).release();
        qb::set_global(m, "_default_dtype_var", Ref::borrow(g_dtype_var));
        qb::make_class(m, "default_dtype", SCOPE_DOC,
                       {{"__init__", "dtype", nullptr, scope_init},
                        {"__enter__", "", nullptr, scope_enter},
                        {"__exit__", "exc_type, exc_value, traceback", nullptr, scope_exit}});
        qb::add_functions(
            m,
            {{"set_num_threads", "n",
              "Sets the number of threads the kernels use (1: no worker threads at all).\n\n"
              "The default is one per available core, counting the process's CPU affinity mask and its\n"
              "cgroup CPU quota; the environment variable QUILLET_NUM_THREADS, read at import, sets it too.",
              set_num_threads},
             {"get_num_threads", "", "The number of threads the kernels use.", get_num_threads},
             {"set_default_dtype", "dtype",
              "Sets the dtype layers create and compute in: numpy.float64 (the default) or numpy.float32.\n\n"
              "It is a context variable: it holds for the calling thread or asyncio task (new threads start\n"
              "from float64); quillet.default_dtype sets it for one block.  The layers of quillet.nn\n"
              "(convolutions, transposed convolutions, resampling, pooling, Linear, the activations, Dropout,\n"
              "BatchNorm, the losses) and the models follow it; the recurrent layers and the optimizers\n"
              "still compute in float64.",
              set_default_dtype},
             {"get_default_dtype", "", "The dtype layers create and compute in: numpy.float64 or numpy.float32.",
              get_default_dtype},
             {"show_config", "",
              "Prints what a bug report needs: versions, compiler and flags, instruction sets, threads and "
              "the BLAS.",
              show_config},
             {"_isa", "", "The instruction-set levels: the one in use, those compiled in, those this CPU runs.", isa},
             {"_force_conv_path", "path",
              "Test hook: makes every convolution take one strategy ('direct', 'blocked', 'blas', or "
              "'winograd' for 3x3 filters at stride 1, blocked elsewhere) or, for None, the one chosen by "
              "size.  Returns the previous setting.",
              force_conv_path}});
      },
      false);
}
