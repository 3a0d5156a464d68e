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

// ---------------------------------------------------------------- SavedError

// Python 3.12 keeps the raised exception as one normalised object; the
// three-part interface before it is deprecated there.
#if PY_VERSION_HEX >= 0x030C0000

SavedError::SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
SavedError::~SavedError() {
  if (!taken_) PyErr_SetRaisedException(exc_);  // nullptr clears the indicator
}
SavedError::operator bool() const noexcept { return exc_ != nullptr; }
Ref SavedError::take() noexcept {
  PyObject* exc = exc_;
  exc_ = nullptr;
  taken_ = true;
  return Ref::steal(exc);
}

#else

SavedError::SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
SavedError::~SavedError() {
  if (!taken_) PyErr_Restore(type_, value_, traceback_);  // all nullptr: clears the indicator
}
SavedError::operator bool() const noexcept { return type_ != nullptr; }
Ref SavedError::take() noexcept {
  taken_ = true;
  if (!type_) return {};
  PyErr_NormalizeException(&type_, &value_, &traceback_);
  if (traceback_ && value_) PyException_SetTraceback(value_, traceback_);
  Py_XDECREF(type_);
  Py_XDECREF(traceback_);
  PyObject* value = value_;
  type_ = value_ = traceback_ = nullptr;
  return Ref::steal(value);
}

#endif

// ---------------------------------------------------------------- objects

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  if (!mro) return nullptr;  // not ready
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
    // Static built-in types (object among them) keep their dictionary per
    // interpreter; tp_dict may be NULL for them.  It lives as long as the type.
    Ref dict = Ref::steal(PyType_GetDict(base));
#else
    Ref dict = Ref::borrow(base->tp_dict);
#endif
    if (!dict) continue;
    PyObject* found = PyDict_GetItemWithError(dict.get(), name);  // borrowed
    if (found) return found;
    if (PyErr_Occurred()) throw Error{};
  }
  return nullptr;
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

Ref Ref::attr(const char* name) const { return check(PyObject_GetAttrString(p_, name)); }
Ref Ref::attr(PyObject* name) const { return check(PyObject_GetAttr(p_, name)); }
void Ref::set(const char* name, const Ref& value) const { check(PyObject_SetAttrString(p_, name, value.get())); }

bool Ref::truthy() const {
  const int t = PyObject_IsTrue(p_);
  check(t);
  return t == 1;
}

std::string Ref::text() const {
  Ref s = check(PyObject_Str(p_));
  Py_ssize_t n = 0;
  if (const char* t = PyUnicode_AsUTF8AndSize(s.get(), &n)) return std::string(t, static_cast<size_t>(n));
  PyErr_Clear();
  Ref b = check(PyUnicode_AsEncodedString(s.get(), "utf-8", "backslashreplace"));
  return std::string(PyBytes_AS_STRING(b.get()), static_cast<size_t>(PyBytes_GET_SIZE(b.get())));
}

long long Ref::index() const { return as_index(p_); }

std::string error_text() {
  SavedError saved;
  if (!saved) return "";
  Ref e = saved.take();
  std::string out = Py_TYPE(e.get())->tp_name;
  Ref s = Ref::steal(PyObject_Str(e.get()));
  if (s && PyUnicode_GetLength(s.get()) > 0) out += ": " + s.text();
  PyErr_Clear();
  return out;
}

Ref text(const std::string& s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref import(const char* name) { return check(PyImport_ImportModule(name)); }

namespace detail {

Ref vectorcall(PyObject* fn, std::vector<Ref>& args, std::vector<Kw>& kws, bool method) {
  // For a method call args[0] is the method's name and args[1] the object.
  std::vector<PyObject*> v;
  v.reserve(args.size() + kws.size());
  for (size_t i = method ? 1 : 0; i < args.size(); ++i) v.push_back(args[i].get());
  Ref names;
  if (!kws.empty()) {
    names = check(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
    for (size_t i = 0; i < kws.size(); ++i) {
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), str(kws[i].name).release());
      v.push_back(kws[i].value.get());
    }
  }
  const size_t positional = v.size() - kws.size();
  if (method) return check(PyObject_VectorcallMethod(args[0].get(), v.data(), positional, names.get()));
  return check(PyObject_Vectorcall(fn, v.data(), positional, names.get()));
}

}  // namespace detail

void print(std::initializer_list<PyObject*> args) {
  static PyObject* builtins = nullptr;
  if (!builtins) builtins = check(PyImport_ImportModule("builtins")).release();
  Ref fn = getattr(builtins, QB_ID(print));
  call(fn.get(), args);
}

void show(const char* label, const Ref& value) { print({str(label).get(), value.get()}); }

}  // namespace qb
