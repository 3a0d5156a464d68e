// Methods and functions described once: a name, a Python parameter list, a
// docstring and a C++ body.  From the parameter list come the text signature
// (`inspect.signature`, `help()`), the argument parsing with Python's own
// TypeError messages, and the default values; the stubs are checked against
// the resulting signatures by the test suite.
//
//   qb::Method{"forward", "A", DOC_FORWARD, forward}
//   qb::Method{"__init__", "in_channels, out_channels, kernel_size, stride, padding=0", nullptr, init}
//   qb::Method{"gradcheck", "layer, A, *, eps=1e-6, raise_exception=True", DOC, gradcheck}
//   qb::Method{"__init__", "*layers", nullptr, init}     // layers: a tuple of the positionals
//
// A body takes `self` (the instance, or the module for module functions) and
// one argument per parameter, in order, with every default filled in, and
// returns a Ref (an empty Ref means None).  Each argument is a PyObject* or,
// converted on the way in with the parameter's name in any TypeError, a
// double ("lr must be a real number, not str"; None, strings and bytes are
// refused), a whole number (through __index__), a bool (Python's truth), a
// Ref, or a std::optional of one of these (None gives nullopt).
#pragma once

#include <optional>
#include <tuple>
#include <type_traits>

#include "bind/ref.hpp"

namespace qb {

using Args = PyObject* const*;

// A Python number as a double; TypeError naming the parameter for anything
// that is not a real number (strings, bytes and None included).
double real(PyObject* value, const char* name);

template <class T>
struct From {
  static T get(PyObject* o, const char* name) {
    if constexpr (std::is_same_v<T, PyObject*>) {
      (void)name;
      return o;
    } else if constexpr (std::is_same_v<T, Ref>) {
      (void)name;
      return Ref::borrow(o);
    } else if constexpr (std::is_same_v<T, bool>) {
      (void)name;
      const int t = PyObject_IsTrue(o);
      check(t);
      return t == 1;
    } else if constexpr (std::is_floating_point_v<T>) {
      return static_cast<T>(real(o, name));
    } else {
      static_assert(std::is_integral_v<T>, "no conversion from a Python object to this parameter type");
      (void)name;
      return static_cast<T>(as_index(o));
    }
  }
};

template <class T>
struct From<std::optional<T>> {
  static std::optional<T> get(PyObject* o, const char* name) {
    if (o == Py_None) return std::nullopt;
    return From<T>::get(o, name);
  }
};

struct Method {
  using Invoke = Ref (*)(void (*fn)(), PyObject* self, Args arg, const char* const* names);

  template <class... P>
  Method(const char* name, const char* params, const char* doc, Ref (*body)(PyObject*, P...))
      : name(name),
        params(params),
        doc(doc),
        fn(reinterpret_cast<void (*)()>(body)),
        invoke(&call<P...>),
        arity(static_cast<int>(sizeof...(P))) {}

  const char* name;
  const char* params;  // Python syntax after self: "A, B=None, *, eps=1e-6"
  const char* doc;     // may be null
  void (*fn)();
  Invoke invoke;
  int arity;

 private:
  template <class... P, size_t... I>
  static Ref apply(void (*fn)(), PyObject* self, Args arg, const char* const* names, std::index_sequence<I...>) {
    (void)arg, (void)names;
    // Braces convert the arguments first to last, so the first bad one is named.
    std::tuple<PyObject*, P...> converted{self, From<P>::get(arg[I], names[I])...};
    return std::apply(reinterpret_cast<Ref (*)(PyObject*, P...)>(fn), std::move(converted));
  }
  template <class... P>
  static Ref call(void (*fn)(), PyObject* self, Args arg, const char* const* names) {
    return apply<P...>(fn, self, arg, names, std::index_sequence_for<P...>{});
  }
};

// The docstring of a layer method: one argument line, one return line.
#define QB_DOC(ARG, RET) "Argument:\n    " ARG "\nReturn:\n    " RET

// A PyMethodDef (never freed) whose trampoline parses the arguments of `m`
// and runs its body.  `owner` names the class ("Lintrel") or is null for a
// module function; `module` is the module's dotted name, for tracebacks.
PyMethodDef* method_def(const char* module, const char* owner, const Method& m);

// The class `__init__` as a slot wrapper, with its text signature.  (Python
// 3.13's inspect binds a class's own method descriptors to the class itself,
// which plain method descriptors refuse; slot wrappers are left alone, and the
// class signature comes from the class's text signature instead.)
Ref init_descriptor(PyTypeObject* cls, const char* module, const Method& m);

// The method running on this thread, as "Lintrel.forward" (empty outside any).
const char* current_method();

// Raises `type` with a printf-style message (PyUnicode_FromFormat codes)
// prefixed by the method running: "Lintrel.forward: A must have 3 axes …".
[[noreturn]] void fail(PyObject* type, const char* fmt, ...);

// Converts a C++ exception in flight into a pending Python exception.
void translate_exception();

}  // namespace qb
