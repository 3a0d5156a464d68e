#include "bind/ref.hpp"

#include <cstdarg>

namespace qb {

void raise(PyObject* type, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  PyErr_FormatV(type, fmt, va);
  va_end(va);
  throw Error{};
}

Py_ssize_t len(PyObject* o) {
  const Py_ssize_t n = PyObject_Length(o);
  if (n < 0) throw Error{};
  return n;
}

Ref item(PyObject* seq, Py_ssize_t i) {
  Ref index = py_int(i);
  return check(PyObject_GetItem(seq, index.get()));
}

Ref py_int(long long v) { return check(PyLong_FromLongLong(v)); }
Ref py_float(double v) { return check(PyFloat_FromDouble(v)); }
Ref str(const char* text) { return check(PyUnicode_FromString(text)); }

long long as_index(PyObject* o) {
  Ref i = check(PyNumber_Index(o));
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) throw Error{};
  return v;
}

Ref tuple(std::initializer_list<PyObject*> items) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    Py_INCREF(o);
    PyTuple_SET_ITEM(t.get(), i++, o);
  }
  return t;
}

Ref list(std::initializer_list<PyObject*> items) {
  Ref l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    Py_INCREF(o);
    PyList_SET_ITEM(l.get(), i++, o);
  }
  return l;
}

Ref call(PyObject* fn, std::initializer_list<PyObject*> args) {
  return check(PyObject_Vectorcall(fn, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

Ref call_kw(PyObject* fn, std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
  Ref kw = check(PyDict_New());
  for (const auto& [k, v] : kwargs) check(PyDict_SetItemString(kw.get(), k, v));
  Ref args = check(PyTuple_New(0));
  return check(PyObject_Call(fn, args.get(), kw.get()));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
  std::vector<PyObject*> v;
  v.reserve(args.size() + 1);
  v.push_back(obj);
  v.insert(v.end(), args.begin(), args.end());
  return check(PyObject_VectorcallMethod(name, v.data(), v.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void print(std::initializer_list<PyObject*> args) {
  static PyObject* builtins = nullptr;
  if (!builtins) builtins = check(PyImport_ImportModule("builtins")).release();
  Ref fn = getattr(builtins, QB_ID(print));
  call(fn.get(), args);
}

void show(const char* label, const Ref& value) { print({str(label).get(), value.get()}); }

}  // namespace qb
