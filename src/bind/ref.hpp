// Owning references, errors and calls: the vocabulary every other part of the
// binding layer speaks.
//
// Errors travel as C++ exceptions: a function that fails sets the Python error
// indicator and throws `qb::Error`; the method trampolines (args.hpp) turn it
// back into a NULL return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace qb {

// Owning reference.  Default-constructed means "no object".
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return steal(p);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Thrown once a Python exception is set.
struct Error {};

// Throws Error if p is NULL, otherwise takes ownership.
inline Ref check(PyObject* p) {
  if (!p) throw Error{};
  return Ref::steal(p);
}
inline void check(int status) {
  if (status < 0) throw Error{};
}

// Sets `type` with a printf-style message (PyUnicode_FromFormat codes) and throws.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);

// The pending Python error, set aside: while this object lives the error
// indicator is clear, so cleanup code can call into Python; when it goes, the
// error is raised again (or the indicator cleared if none was pending),
// replacing whatever was raised in between.
//
//   catch (...) {
//     {
//       qb::SavedError saved;
//       close_the_file();  // its own errors, if any, give way to the first one
//     }
//     throw;
//   }
class SavedError {
 public:
  SavedError() noexcept;
  ~SavedError();
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  // Whether an error was pending when this object was made.
  explicit operator bool() const noexcept;
  // The exception object, normalised and carrying its traceback, for the
  // caller to keep; the destructor then leaves the indicator as it finds it.
  Ref take() noexcept;

 private:
  bool taken_ = false;
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc_ = nullptr;
#else
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
};

// Runs cleanup() with the pending error set aside and restores it afterwards.
// Whatever cleanup raises (a qb::Error or any C++ exception) is dropped: the
// pending error is the one that counts.
template <class Cleanup>
void preserving_error(Cleanup&& cleanup) noexcept {
  SavedError saved;
  try {
    cleanup();
  } catch (...) {
  }
}

// Interned attribute and keyword names: QB_ID(W) is the str "W".
#define QB_ID(name)                                         \
  ([]() -> PyObject* {                                      \
    static PyObject* s = PyUnicode_InternFromString(#name); \
    return s;                                               \
  }())

// ---------------------------------------------------------------- objects

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check(PyObject_SetAttr(o, name, v)); }
inline void setattr(PyObject* o, PyObject* name, const Ref& v) { setattr(o, name, v.get()); }

// The attribute `name` as the type defines it or inherits it, found along its
// MRO without calling any descriptor: a borrowed reference, or nullptr when
// no class on the MRO has it.  (Two lookups give the same object as long as
// nobody assigns the attribute on a class in between.)
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

// len(o)
Py_ssize_t len(PyObject* o);
// seq[i], with Python's negative indices and error messages.
Ref item(PyObject* seq, Py_ssize_t i);

Ref py_int(long long v);
Ref py_float(double v);
Ref str(const char* text);
// A Python int as a C++ integer through __index__ (TypeError otherwise).
long long as_index(PyObject* o);
Ref tuple(std::initializer_list<PyObject*> items);  // borrowed items
Ref list(std::initializer_list<PyObject*> items);   // borrowed items

// ---------------------------------------------------------------- calls

Ref call(PyObject* fn, std::initializer_list<PyObject*> args);
// fn(**kwargs), the keywords in order.
Ref call_kw(PyObject* fn, std::initializer_list<std::pair<const char*, PyObject*>> kwargs);
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args);

// Python's print(*args), and print(label, value).
void print(std::initializer_list<PyObject*> args);
void show(const char* label, const Ref& value);

}  // namespace qb
