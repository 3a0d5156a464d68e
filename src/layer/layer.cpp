#include "layer/layer.hpp"

#include <cstdarg>
#include <string>

namespace ql {

long long factor(PyObject* value, const char* name, long long min) {
  if (!PyIndex_Check(value)) qb::fail(PyExc_TypeError, "%s must be an integer, got %R", name, value);
  Ref i = qb::check(PyNumber_Index(value));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw qb::Error{};
  if (overflow < 0 || (overflow == 0 && v < min))
    qb::fail(PyExc_ValueError, "%s must be at least %lld, got %S", name, min, i.get());
  if (overflow > 0 || v > (1LL << 62)) qb::fail(PyExc_ValueError, "%s is too large: %S", name, i.get());
  return v;
}

void check_arg(PyObject* value, const char* name, long long min) {
  if (!PyIndex_Check(value)) qb::fail(PyExc_TypeError, "%s must be an integer, got %R", name, value);
  Ref i = qb::check(PyNumber_Index(value));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw qb::Error{};
  if (overflow < 0 || (overflow == 0 && v < min))
    qb::fail(PyExc_ValueError, "%s must be at least %lld, got %S", name, min, i.get());
}

long long factor_attr(PyObject* obj, PyObject* name, long long min) {
  Ref v = qb::getattr(obj, name);
  return factor(v.get(), PyUnicode_AsUTF8(name), min);
}

npy_intp int_attr(PyObject* obj, PyObject* name) {
  return static_cast<npy_intp>(qb::as_index(qb::getattr(obj, name).get()));
}

npy_intp int_attr(PyObject* obj, PyObject* name, npy_intp min) {
  const npy_intp v = int_attr(obj, name);
  if (v < min)
    qb::fail(PyExc_ValueError, "%U must be at least %zd, got %zd", name, static_cast<Py_ssize_t>(min),
             static_cast<Py_ssize_t>(v));
  return v;
}

npy_intp strict_int_attr(PyObject* obj, PyObject* name) {
  Ref v = qb::getattr(obj, name);
  if (!PyIndex_Check(v.get())) qb::fail(PyExc_TypeError, "%U must be an integer, got %R", name, v.get());
  return static_cast<npy_intp>(qb::as_index(v.get()));
}

bool attr_equals(PyObject* obj, PyObject* name, npy_intp value) {
  Ref v = qb::getattr(obj, name);
  Ref i = qb::py_int(value);
  const int eq = PyObject_RichCompareBool(i.get(), v.get(), Py_EQ);
  qb::check(eq);
  return eq == 1;
}

Ref stored(PyObject* obj, PyObject* name) {
  PyObject* v = PyObject_GetAttr(obj, name);
  if (v) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
  PyErr_Clear();
  PyErr_Format(PyExc_AttributeError, "%s was called before forward ('%s' object has no attribute '%U')",
               qb::current_method(), Py_TYPE(obj)->tp_name, name);
  throw qb::Error{};
}

npy_intp stored_size(PyObject* obj, PyObject* name) {
  return static_cast<npy_intp>(factor(stored(obj, name).get(), PyUnicode_AsUTF8(name), 0));
}

// ---------------------------------------------------------------- the computing dtype

bool single_precision() {
  static PyObject* var = nullptr;  // quillet._default_dtype_var, kept for the process
  static PyObject* float32 = nullptr;
  if (!var) {
    Ref package = qb::check(PyImport_ImportModule("quillet"));
    Ref v = qb::getattr(package.get(), QB_ID(_default_dtype_var));
    float32 = qb::numpy_attr(QB_ID(float32)).release();
    var = v.release();
  }
  PyObject* value = nullptr;
  if (PyContextVar_Get(var, nullptr, &value) < 0) throw qb::Error{};
  const bool single = value == float32;
  Py_XDECREF(value);
  return single;
}

Ref in_default_dtype(const Ref& made) {
  if (!single_precision() || !PyArray_Check(made.get())) return made;
  PyArrayObject* a = qb::arr(made);
  if (!PyTypeNum_ISFLOAT(PyArray_TYPE(a)) || PyArray_TYPE(a) == NPY_FLOAT) return made;
  return qb::check(PyArray_CastToType(a, PyArray_DescrFromType(NPY_FLOAT), 0));
}

// ---------------------------------------------------------------- parameters

void init_params(PyObject* self, std::initializer_list<PyObject*> shape, std::initializer_list<const char*> names,
                 PyObject* out_channels, PyObject* weight_init_fn, PyObject* bias_init_fn) {
  if (weight_init_fn == Py_None) {
    const char* const* name = names.begin();
    for (PyObject* extent : shape) {
      if (!PyIndex_Check(extent)) qb::fail(PyExc_TypeError, "%s must be an integer, got %R", *name, extent);
      if (qb::as_index(extent) < 0) qb::fail(PyExc_ValueError, "%s must not be negative, got %R", *name, extent);
      ++name;
    }
  }
  // Under float32 the same numbers are drawn, then stored as float32.
  Ref W = in_default_dtype(weight_init_fn == Py_None ? qb::random_normal(shape) : qb::call(weight_init_fn, shape));
  qb::setattr(self, QB_ID(W), W);
  Ref b = in_default_dtype(bias_init_fn == Py_None ? qb::call(qb::numpy_attr(QB_ID(zeros)).get(), {out_channels})
                                                   : qb::call(bias_init_fn, {out_channels}));
  qb::setattr(self, QB_ID(b), b);
  Ref zeros = qb::numpy_attr(QB_ID(zeros));
  qb::setattr(self, QB_ID(dLdW), in_default_dtype(qb::call(zeros.get(), {qb::getattr(W.get(), QB_ID(shape)).get()})));
  qb::setattr(self, QB_ID(dLdb), in_default_dtype(qb::call(zeros.get(), {qb::getattr(b.get(), QB_ID(shape)).get()})));
}

Ref param(PyObject* layer, PyObject* name, const std::vector<npy_intp>& shape) {
  return param_typed(layer, name, shape, NPY_DOUBLE);
}

Ref param_typed(PyObject* layer, PyObject* name, const std::vector<npy_intp>& shape, int type) {
  Ref a = qb::as_array(qb::getattr(layer, name).get());
  const std::vector<npy_intp> got = qb::dims(a);
  if (got != shape)
    qb::fail(PyExc_ValueError, "%U has shape %s, but the layer needs %s", name, qb::shape_text(got).c_str(),
             qb::shape_text(shape).c_str());
  return qb::to_typed(qb::arr(a), PyUnicode_AsUTF8(name), type);
}

std::vector<double> bias(PyObject* layer, PyObject* name, npy_intp n) {
  Ref a = qb::to_f64(qb::getattr(layer, name).get(), PyUnicode_AsUTF8(name));
  const int nd = qb::ndim(a);
  bool ok = true;
  for (int i = 0; i + 1 < nd; ++i) ok = ok && qb::dim(a, i) == 1;
  const npy_intp last = nd ? qb::dim(a, nd - 1) : 1;
  if (!ok || (last != n && last != 1))
    qb::fail(PyExc_ValueError, "%U has shape %s, but the layer needs (%zd,)", name, qb::shape_text(qb::dims(a)).c_str(),
             static_cast<Py_ssize_t>(n));
  std::vector<double> out(static_cast<size_t>(n));
  const double* p = qb::data(a);
  for (npy_intp i = 0; i < n; ++i) out[static_cast<size_t>(i)] = last == 1 ? p[0] : p[i];
  return out;
}

void replace_grad(PyObject* obj, PyObject* name, const Ref& value, PyObject* param_name) {
  qb::setattr(obj, name, qb::in_float_dtype_of(value, qb::getattr(obj, param_name).get()));
}

void add_grad(PyObject* obj, PyObject* name, const Ref& value) {
  Ref cur = qb::getattr(obj, name);
  if (PyArray_CheckExact(cur.get())) {
    PyArrayObject* c = qb::arr(cur);
    if (PyArray_TYPE(c) == NPY_FLOAT && PyArray_TYPE(qb::arr(value)) == NPY_FLOAT && PyArray_ISCARRAY(c) &&
        PyArray_ISNOTSWAPPED(c) && qb::dims(c) == qb::dims(value)) {
      float* dst = static_cast<float*>(PyArray_DATA(c));
      const float* src = qb::data_of<float>(value);
      const npy_intp n = PyArray_SIZE(c);
      for (npy_intp i = 0; i < n; ++i) dst[i] += src[i];
      return;
    }
    if (PyArray_TYPE(c) == NPY_DOUBLE && PyArray_TYPE(qb::arr(value)) == NPY_DOUBLE && PyArray_ISCARRAY(c) &&
        PyArray_ISNOTSWAPPED(c) && qb::dims(c) == qb::dims(value)) {
      double* dst = static_cast<double*>(PyArray_DATA(c));
      const double* src = qb::data(value);
      const npy_intp n = PyArray_SIZE(c);
      for (npy_intp i = 0; i < n; ++i) dst[i] += src[i];
      return;
    }
  }
  Ref sum = qb::check(PyNumber_InPlaceAdd(cur.get(), value.get()));
  qb::setattr(obj, name, sum);
}

// ---------------------------------------------------------------- checks

namespace {
bool assertions_disabled() {
  static int optimize = -1;
  if (optimize < 0) {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    Ref o = flags ? Ref::steal(PyObject_GetAttrString(flags, "optimize")) : Ref();
    optimize = o ? static_cast<int>(PyLong_AsLong(o.get())) : 0;
    PyErr_Clear();
  }
  return optimize > 0;
}
}  // namespace

void channel_mismatch(const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  Ref message = qb::check(PyUnicode_FromFormatV(fmt, va));
  va_end(va);
  qb::fail(assertions_disabled() ? PyExc_ValueError : PyExc_AssertionError, "%U", message.get());
}

// ---------------------------------------------------------------- composites

void StockMethods::capture(PyObject* cls, PyObject* first, PyObject* second) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  cls_ = cls;
  names_[0] = first ? first : QB_ID(forward);
  names_[1] = second ? second : QB_ID(backward);
  for (int i = 0; i < 2; ++i) {
    methods_[i] = qb::type_lookup(type, names_[i]);
    Py_XINCREF(methods_[i]);
  }
}

bool StockMethods::untouched(const Ref& obj) const {
  auto* type = Py_TYPE(obj.get());
  if (type != reinterpret_cast<PyTypeObject*>(cls_)) return false;
  for (int i = 0; i < 2; ++i)
    if (qb::type_lookup(type, names_[i]) != methods_[i]) return false;
  Ref dict = qb::check(PyObject_GenericGetDict(obj.get(), nullptr));
  for (PyObject* name : names_) {
    if (PyDict_GetItemWithError(dict.get(), name)) return false;
    if (PyErr_Occurred()) throw qb::Error{};
  }
  return true;
}

bool enterable(PyObject* o) {
  if (PyType_Check(o) || PyModule_Check(o) || PyArray_Check(o)) return false;
  const PyTypeObject* t = Py_TYPE(o);
  return (t->tp_flags & Py_TPFLAGS_HEAPTYPE) && t->tp_dictoffset != 0;
}

// ---------------------------------------------------------------- repr

namespace {

// The object at a dotted attribute path, or an empty Ref (error cleared).
Ref lookup(PyObject* self, const char* path) {
  Ref v = Ref::borrow(self);
  std::string rest(path);
  while (!rest.empty()) {
    const size_t dot = rest.find('.');
    Ref name = qb::str(rest.substr(0, dot).c_str());
    PyObject* next = PyObject_GetAttr(v.get(), name.get());
    if (!next) {
      PyErr_Clear();
      return {};
    }
    v = Ref::steal(next);
    rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
  }
  return v;
}

std::string text(PyObject* o) {
  PyObject* r = o ? PyObject_Repr(o) : nullptr;
  const char* t = r ? PyUnicode_AsUTF8(r) : nullptr;
  std::string out = t ? t : "?";
  Py_XDECREF(r);
  PyErr_Clear();
  return out;
}

// Lines after the first indented by two spaces, for nesting.
std::string indented(const std::string& s) {
  std::string out;
  for (char c : s) {
    out += c;
    if (c == '\n') out += "  ";
  }
  return out;
}

}  // namespace

Ref repr_call(PyObject* self, std::initializer_list<std::pair<const char*, const char*>> fields) {
  std::string out = std::string(Py_TYPE(self)->tp_name) + "(";
  bool first = true;
  for (const auto& [name, path] : fields) {
    out += std::string(first ? "" : ", ") + name + "=" + text(lookup(self, path).get());
    first = false;
  }
  return qb::str((out + ")").c_str());
}

Ref bare_repr(PyObject* self) { return repr_call(self, {}); }

Ref repr_parts(PyObject* self, std::initializer_list<const char*> paths) {
  std::string out = std::string(Py_TYPE(self)->tp_name) + "(";
  for (const char* path : paths) {
    Ref part = lookup(self, path);
    if (part && (PyList_Check(part.get()) || PyTuple_Check(part.get()))) {
      Ref items = qb::check(PySequence_List(part.get()));
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
        out += "\n  (" + std::string(path) + "." + std::to_string(i) +
               "): " + indented(text(PyList_GET_ITEM(items.get(), i)));
    } else {
      out += "\n  (" + std::string(path) + "): " + indented(text(part.get()));
    }
  }
  return qb::str((out + "\n)").c_str());
}

Ref train(PyObject* self) {
  qb::setattr(self, QB_ID(train_mode), Py_True);
  return {};
}

Ref eval(PyObject* self) {
  qb::setattr(self, QB_ID(train_mode), Py_False);
  return {};
}

Ref through_layers(PyObject* layers, PyObject* method, PyObject* x, bool reverse) {
  Ref list = qb::check(PySequence_List(layers));
  Ref value = Ref::borrow(x);
  const Py_ssize_t n = PyList_GET_SIZE(list.get());
  for (Py_ssize_t k = 0; k < n; ++k)
    value = qb::call_method(PyList_GET_ITEM(list.get(), reverse ? n - 1 - k : k), method, {value.get()});
  return value;
}

}  // namespace ql
