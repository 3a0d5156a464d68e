#include "bind/args.hpp"

#include <frameobject.h>  // PyFrame_New

#include <array>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace qb {

namespace {

constexpr int kMaxParams = 16;

struct Param {
  std::string name;
  Ref fallback;  // the default value; empty for a required parameter
  bool keyword_only = false;
  bool varargs = false;  // `*name`: the surplus positional arguments, as a tuple
};

// Everything a trampoline needs about one method.
struct Slot {
  Method method;
  std::vector<Param> params;
  int positional = 0;              // parameters that may be passed by position
  int required = 0;                // leading positional parameters without a default
  int varargs = -1;                // index of the `*name` parameter, if any
  bool is_method = false;          // counts `self` in Python's messages
  std::string qualname;            // "Lintrel.forward" (a function: its name)
  std::string traceback;           // "quillet.nn.Lintrel.Lintrel.forward"
  std::string module;              // "quillet.nn.Lintrel"
  std::string signature;           // the docstring: "forward($self, A)\n--\n\n<doc>"
  std::vector<const char*> names;  // the parameters' names, for the converters' messages
};

thread_local const char* t_current = "";

struct Current {
  const char* saved;
  explicit Current(const char* name) : saved(t_current) { t_current = name; }
  ~Current() { t_current = saved; }
};

std::string strip(const std::string& s) {
  const size_t a = s.find_first_not_of(" \n"), b = s.find_last_not_of(" \n");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// Splits "a, b=(1, 2), *, c=None" at the commas outside brackets.
std::vector<std::string> split_params(const char* text) {
  std::vector<std::string> out;
  std::string cur;
  int depth = 0;
  for (const char* p = text; *p; ++p) {
    if (*p == '(' || *p == '[' || *p == '{') ++depth;
    if (*p == ')' || *p == ']' || *p == '}') --depth;
    if (*p == ',' && depth == 0) {
      out.push_back(strip(cur));
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!strip(cur).empty()) out.push_back(strip(cur));
  return out;
}

Ref literal(const std::string& text) {
  static PyObject* literal_eval = nullptr;
  if (!literal_eval) {
    Ref ast = check(PyImport_ImportModule("ast"));
    literal_eval = getattr(ast.get(), QB_ID(literal_eval)).release();
  }
  Ref s = str(text.c_str());
  return call(literal_eval, {s.get()});
}

Slot* make_slot(const char* module, const char* owner, const Method& m) {
  auto* s = new Slot{m, {}, 0, 0, -1, owner != nullptr, {}, {}, {}, {}};
  bool keyword_only = false;
  for (const std::string& p : split_params(m.params)) {
    if (p == "*") {
      keyword_only = true;
      continue;
    }
    if (p.size() > 1 && p[0] == '*' && p[1] != '*' && !keyword_only) {
      Param param;
      param.name = strip(p.substr(1));
      param.varargs = true;
      s->varargs = static_cast<int>(s->params.size());
      s->params.push_back(std::move(param));
      keyword_only = true;  // what follows `*name` is keyword-only
      continue;
    }
    Param param;
    const size_t eq = p.find('=');
    param.name = strip(p.substr(0, eq));
    if (eq != std::string::npos) param.fallback = literal(strip(p.substr(eq + 1)));
    param.keyword_only = keyword_only;
    if (!keyword_only) {
      ++s->positional;
      if (!param.fallback && s->required == s->positional - 1) ++s->required;
    }
    s->params.push_back(std::move(param));
  }
  if (static_cast<int>(s->params.size()) != m.arity || m.arity > kMaxParams)
    raise(PyExc_SystemError, "%s: the body takes %d arguments but the parameter list names %d", m.name, m.arity,
          static_cast<int>(s->params.size()));
  for (const Param& p : s->params) s->names.push_back(p.name.c_str());
  s->qualname = owner ? std::string(owner) + "." + m.name : std::string(m.name);
  s->traceback = std::string(module) + "." + s->qualname;
  s->module = module;
  s->signature = std::string(m.name) + (owner ? "($self" : "($module") +
                 (s->params.empty() && !keyword_only ? "" : ", ") + m.params + ")\n--\n\n" + (m.doc ? m.doc : "");
  return s;
}

// ---------------------------------------------------------------- parsing

// The name Python's messages use for the function: its qualified name from
// 3.10 on, its bare name before.
std::string function_name(const Slot& s) {
#if PY_VERSION_HEX >= 0x030A0000
  return s.qualname;
#else
  return s.method.name;
#endif
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

// The number of characters two names have in common as difflib counts them
// (Ratcliff-Obershelp): the longest common run, then the same on either side.
size_t common_chars(const std::string& a, size_t a0, size_t a1, const std::string& b, size_t b0, size_t b1) {
  size_t best = 0, at_a = a0, at_b = b0;
  for (size_t i = a0; i < a1; ++i)
    for (size_t j = b0; j < b1; ++j) {
      size_t k = 0;
      while (i + k < a1 && j + k < b1 && a[i + k] == b[j + k]) ++k;
      if (k > best) best = k, at_a = i, at_b = j;
    }
  if (best == 0) return 0;
  return best + common_chars(a, a0, at_a, b, b0, at_b) + common_chars(a, at_a + best, a1, b, at_b + best, b1);
}

// "; did you mean 'kernel'?" for the parameter closest to an unknown keyword,
// when they are at least as alike as difflib.get_close_matches requires
// (ratio 0.6); empty otherwise.
std::string suggestion(const Slot& s, PyObject* key) {
  const char* text = PyUnicode_AsUTF8(key);
  if (!text) {
    PyErr_Clear();
    return {};
  }
  const std::string wrong(text);
  if (wrong.size() > 64) return {};
  double best = 0.6;
  const std::string* found = nullptr;
  for (const auto& p : s.params) {
    if (p.varargs || p.name.size() > 64) continue;
    const double ratio = 2.0 * common_chars(wrong, 0, wrong.size(), p.name, 0, p.name.size()) /
                         static_cast<double>(wrong.size() + p.name.size());
    if (ratio >= best && (!found || ratio > best)) best = ratio, found = &p.name;
  }
  return found ? "; did you mean '" + *found + "'?" : std::string();
}

// Fills out[] from a vectorcall, as a Python function would, with its messages.
// The surplus positional arguments of a `*name` parameter go into `rest`.
void parse(const Slot& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out, Ref& rest) {
  nargs = PyVectorcall_NARGS(nargs);
  const int n = static_cast<int>(s.params.size());
  for (int i = 0; i < n; ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs && i < s.positional; ++i) out[i] = args[i];
  const std::string fn = function_name(s);
  // Keyword problems are reported before surplus positionals, as CPython does.
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    int idx = -1;
    for (int i = 0; i < n; ++i)
      if (!s.params[i].varargs && PyUnicode_CompareWithASCIIString(key, s.params[i].name.c_str()) == 0) {
        idx = i;
        break;
      }
    if (idx < 0)
      raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'%s", fn.c_str(), key,
            suggestion(s, key).c_str());
    if (out[idx]) raise(PyExc_TypeError, "%s() got multiple values for argument '%U'", fn.c_str(), key);
    out[idx] = args[nargs + j];
  }
  if (s.varargs >= 0) {
    const Py_ssize_t extra = nargs > s.positional ? nargs - s.positional : 0;
    rest = check(PyTuple_New(extra));
    for (Py_ssize_t i = 0; i < extra; ++i) {
      Py_INCREF(args[s.positional + i]);
      PyTuple_SET_ITEM(rest.get(), i, args[s.positional + i]);
    }
    out[s.varargs] = rest.get();
  } else if (nargs > s.positional) {
    // Method messages count self, as Python's do.
    const int self = s.is_method ? 1 : 0;
    const Py_ssize_t given = nargs + self;
    const int most = s.positional + self, least = s.required + self;
    if (least == most)
      raise(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", fn.c_str(), most,
            most == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    raise(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", fn.c_str(), least, most,
          given, given == 1 ? "was" : "were");
  }
  for (bool keyword_only : {false, true}) {
    std::vector<const char*> missing;
    for (int i = 0; i < n; ++i)
      if (!out[i] && !s.params[i].fallback && s.params[i].keyword_only == keyword_only)
        missing.push_back(s.params[i].name.c_str());
    if (!missing.empty())
      raise(PyExc_TypeError, "%s() missing %d required %s argument%s: %s", fn.c_str(), static_cast<int>(missing.size()),
            keyword_only ? "keyword-only" : "positional", missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
  }
  for (int i = 0; i < n; ++i)
    if (!out[i]) out[i] = s.params[i].fallback.get();
}

// Adds an entry for the method to the pending exception's traceback, so that a
// traceback names the module, class and method that raised, as it would for
// Python code: a frame of an empty code object named after the method and the
// source file, at line 0.
void add_traceback(const Slot& s) {
  // The source file mirrors the module's path: src/quillet/nn/Lintrel.cpp,
  // or src/models/mlp/__init__.cpp for a package.
  std::string source = "src/" + s.module;
  for (char& c : source)
    if (c == '.') c = '/';
  Ref frame;
  {
    SavedError pending;  // whatever fails here, the method's own error stands, with or without the entry
    if (!pending) return;
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    PyObject* mod = modules ? PyDict_GetItemString(modules, s.module.c_str()) : nullptr;
    const bool package = mod && PyObject_HasAttrString(mod, "__path__");
    source += package ? "/__init__.cpp" : ".cpp";
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source.c_str(), s.traceback.c_str(), 0)));
    Ref globals = Ref::steal(PyDict_New());
    if (code && globals)
      frame = Ref::steal(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
  }
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

PyObject* run(const Slot& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg[kMaxParams];
  Current current(s.qualname.c_str());
  try {
    Ref rest;
    parse(s, args, nargs, kwnames, arg, rest);
    Ref r = s.method.invoke(s.method.fn, self, arg, s.names.data());
    if (!r) Py_RETURN_NONE;
    return r.release();
  } catch (...) {
    translate_exception();
    add_traceback(s);
    return nullptr;
  }
}

// ---------------------------------------------------------------- trampolines

// A method descriptor calls a plain C function with no room for data of its
// own, so each method gets a trampoline of its own from this pool, which knows
// its slot by its index.  The pool is per module.
constexpr int kSlots = 96;
Slot* g_slots[kSlots];
int g_used = 0;

template <int I>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run(*g_slots[I], self, args, nargs, kwnames);
}

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <int... I>
constexpr std::array<Fast, sizeof...(I)> make_trampolines(std::integer_sequence<int, I...>) {
  return {&trampoline<I>...};
}

const auto g_trampolines = make_trampolines(std::make_integer_sequence<int, kSlots>{});

PyObject* init_wrapper(PyObject* self, PyObject* args, void* wrapped, PyObject* kwds) {
  const Slot& s = *static_cast<const Slot*>(wrapped);
  const Py_ssize_t n = PyTuple_GET_SIZE(args), nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
  std::vector<PyObject*> stack(static_cast<size_t>(n + nkw));
  for (Py_ssize_t i = 0; i < n; ++i) stack[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  Ref kwnames;
  if (nkw) {
    kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    Py_ssize_t pos = 0, j = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), j, key);
      stack[static_cast<size_t>(n + j++)] = value;
    }
  }
  return run(s, self, stack.data(), n, kwnames.get());
}

}  // namespace

PyMethodDef* method_def(const char* module, const char* owner, const Method& m) {
  if (g_used == kSlots) raise(PyExc_SystemError, "%s: more than %d methods in one module", module, kSlots);
  Slot* s = make_slot(module, owner, m);
  const int index = g_used++;
  g_slots[index] = s;
  return new PyMethodDef{m.name, reinterpret_cast<PyCFunction>(g_trampolines[static_cast<size_t>(index)]),
                         METH_FASTCALL | METH_KEYWORDS, s->signature.c_str()};
}

Ref init_descriptor(PyTypeObject* cls, const char* module, const Method& m) {
  Slot* s = make_slot(module, cls->tp_name, m);
  auto* base = new wrapperbase{"__init__",
                               0,
                               nullptr,
                               reinterpret_cast<wrapperfunc>(reinterpret_cast<void (*)()>(init_wrapper)),
                               s->signature.c_str(),
                               PyWrapperFlag_KEYWORDS,
                               nullptr};
  return check(PyDescr_NewWrapper(cls, base, s));
}

const char* current_method() { return t_current; }

double real(PyObject* value, const char* name) {
  if (PyUnicode_Check(value) || PyBytes_Check(value) || value == Py_None)
    fail(PyExc_TypeError, "%s must be a real number, not %s", name, Py_TYPE(value)->tp_name);
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    fail(PyExc_TypeError, "%s must be a real number, not %s", name, Py_TYPE(value)->tp_name);
  }
  return v;
}

void fail(PyObject* type, const char* fmt, ...) {
  va_list va;
  va_start(va, fmt);
  Ref message = check(PyUnicode_FromFormatV(fmt, va));
  va_end(va);
  if (*t_current)
    PyErr_Format(type, "%s: %U", t_current, message.get());
  else
    PyErr_SetObject(type, message.get());
  throw Error{};
}

void translate_exception() {
  try {
    throw;
  } catch (const Error&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace qb
