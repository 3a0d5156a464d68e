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
#include <string>
#include <type_traits>
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

  // Python, said shortly: r.attr("path").attr("join")(folder, name) is
  // r.path.join(folder, name); r.call("close") is r.close(); arguments are
  // objects, Refs or plain C++ values (numbers, bools, strings), and
  // qb::kw("name", value) passes a keyword.  Each throws Error on failure.
  Ref attr(const char* name) const;
  Ref attr(PyObject* name) const;
  void set(const char* name, const Ref& value) const;
  template <class... A>
  Ref operator()(A&&... args) const;
  template <class... A>
  Ref call(const char* method, A&&... args) const;
  // bool(o), str(o) as UTF-8 (lone surrogates escaped), int(o) through __index__.
  bool truthy() const;
  std::string text() const;
  long long index() const;

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

// Runs body(); if it throws, runs cleanup() with the error set aside (as
// preserving_error does) and throws again: Python's try/finally for the
// failing path.
template <class Body, class Cleanup>
void guarded(Body&& body, Cleanup&& cleanup) {
  try {
    body();
  } catch (...) {
    preserving_error(cleanup);
    throw;
  }
}

// Python's recursion limit around a recursive walk, so that a pathologically
// deep or self-containing structure raises RecursionError (the message ends
// with `where`) instead of exhausting the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where)) throw Error{};
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// "TypeError: message" for the pending error, which is cleared ("" if none).
std::string error_text();

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

// ---------------------------------------------------------------- Ref's call syntax

// A keyword argument for Ref::operator() and Ref::call.
struct Kw {
  const char* name;
  Ref value;
};

Ref text(const std::string& s);

// A C++ value as a Python object: Refs and objects as they are, bools, whole
// and real numbers, and strings converted.
template <class T>
Ref to_py(T&& v) {
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, Ref>) {
    return v;
  } else if constexpr (std::is_same_v<D, bool>) {
    return Ref::borrow(v ? Py_True : Py_False);
  } else if constexpr (std::is_convertible_v<D, PyObject*> && !std::is_same_v<D, std::nullptr_t>) {
    return Ref::borrow(reinterpret_cast<PyObject*>(v));
  } else if constexpr (std::is_integral_v<D>) {
    return py_int(static_cast<long long>(v));
  } else if constexpr (std::is_floating_point_v<D>) {
    return py_float(static_cast<double>(v));
  } else if constexpr (std::is_same_v<D, std::string>) {
    return text(v);
  } else {
    static_assert(std::is_convertible_v<D, const char*>, "no Python object for this C++ type");
    return str(v);
  }
}

template <class T>
Kw kw(const char* name, T&& value) {
  return {name, to_py(std::forward<T>(value))};
}

namespace detail {
// Calls fn with the positionals and keywords gathered (Kw values are keywords).
Ref vectorcall(PyObject* fn, std::vector<Ref>& args, std::vector<Kw>& kws, bool method);

template <class T>
void gather(std::vector<Ref>& args, std::vector<Kw>& kws, T&& v) {
  if constexpr (std::is_same_v<std::decay_t<T>, Kw>) {
    kws.push_back(std::forward<T>(v));
  } else {
    args.push_back(to_py(std::forward<T>(v)));
  }
}
}  // namespace detail

template <class... A>
Ref Ref::operator()(A&&... a) const {
  std::vector<Ref> args;
  std::vector<Kw> kws;
  args.reserve(sizeof...(A));
  (detail::gather(args, kws, std::forward<A>(a)), ...);
  return detail::vectorcall(p_, args, kws, false);
}

template <class... A>
Ref Ref::call(const char* method, A&&... a) const {
  std::vector<Ref> args{str(method), *this};
  std::vector<Kw> kws;
  (detail::gather(args, kws, std::forward<A>(a)), ...);
  return detail::vectorcall(nullptr, args, kws, true);
}

// `import name`
Ref import(const char* name);

// Python's print(*args), and print(label, value).
void print(std::initializer_list<PyObject*> args);
void show(const char* label, const Ref& value);

}  // namespace qb
